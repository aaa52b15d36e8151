// SPDX-License-Identifier: GPL-2.0-or-later
#include "systemlog.h"

namespace {

// Cut at a character's start, so the line stays valid UTF-8 up to the cut.
int cutBefore(const QByteArray &text, int limit)
{
    int cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    return cut;
}

} // namespace

QByteArray escapedForLog(const QByteArray &text)
{
    static const char hex[] = "0123456789abcdef";
    const bool shortened = text.size() > kLoggedTextBytes;
    const int shown = shortened ? cutBefore(text, kLoggedTextBytes) : text.size();
    QByteArray out;
    out.reserve(shown + 32);
    for (int i = 0; i < shown; ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            out.append("\\x");
            out.append(hex[byte >> 4]);
            out.append(hex[byte & 0xf]);
        } else {
            out.append(c);
        }
    }
    if (shortened)
        out.append("... (" + QByteArray::number(text.size()) + " bytes in all)");
    return out;
}

QByteArray escapedForLog(const QString &text)
{
    return escapedForLog(text.toLocal8Bit());
}

QByteArray uidForLog(bool uidKnown, uid_t uid)
{
    return uidKnown ? QByteArray::number(uid) : QByteArrayLiteral("unknown");
}
