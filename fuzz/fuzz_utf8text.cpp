// SPDX-License-Identifier: GPL-2.0-or-later
// File names as the kernel hands them over: any bytes, shown as text with
// U+FFFD for each byte that is no part of well-formed UTF-8.
#include "fuzztarget.h"
#include "utf8text.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QString text = textWithReplacements(bytes);
    // Never a lone surrogate: the bus carries only well-formed text.
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate())
            FUZZ_CHECK(i + 1 < text.size() && text.at(++i).isLowSurrogate());
        else
            FUZZ_CHECK(!text.at(i).isLowSurrogate());
    }
    const QByteArray encoded = text.toUtf8();
    FUZZ_CHECK(isWellFormedUtf8(encoded.constData(), encoded.size()) || encoded.startsWith("\xEF\xBB\xBF"));
    if (isWellFormedUtf8(bytes.constData(), bytes.size()))
        FUZZ_CHECK(encoded == bytes);
    // One character per byte at most: a replacement stands for one byte.
    FUZZ_CHECK(text.size() <= bytes.size());
    return 0;
}
