// SPDX-License-Identifier: GPL-2.0-or-later
// Caller-supplied text on its way into one system-log line.
#include "fuzztarget.h"
#include "systemlog.h"
#include "utf8text.h"

#include <QString>

namespace {

void checkOneLine(const QByteArray &escaped, bool wellFormedInput)
{
    for (const char c : escaped)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    // Cut at the bound (each byte escaped at most to four), the length said after it.
    FUZZ_CHECK(escaped.size() <= 4 * kLoggedTextBytes + 40);
    // Cut on a character boundary: well-formed text stays well-formed.
    if (wellFormedInput && !escaped.startsWith("\xEF\xBB\xBF"))
        FUZZ_CHECK(isWellFormedUtf8(escaped.constData(), escaped.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    checkOneLine(escapedForLog(bytes), isWellFormedUtf8(bytes.constData(), bytes.size()));
    checkOneLine(escapedForLog(QString::fromUtf8(bytes)), true);
    return 0;
}
