// SPDX-License-Identifier: GPL-2.0-or-later
#include "utf8text.h"

namespace {

bool isContinuation(unsigned char byte)
{
    return (byte & 0xc0) == 0x80;
}

// Length of the well-formed sequence at bytes[0], or 0 (Unicode Table 3-7).
int sequenceLength(const unsigned char *bytes, int available)
{
    const unsigned char lead = bytes[0];
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (length > available || bytes[1] < low || bytes[1] > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (!isContinuation(bytes[i]))
            return 0;
    }
    return length;
}

} // namespace

bool isWellFormedUtf8(const char *bytes, int length)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes);
    if (length >= 3 && data[0] == 0xef && data[1] == 0xbb && data[2] == 0xbf)
        return false;
    int at = 0;
    while (at < length) {
        if (data[at] < 0x80) {
            ++at;
            continue;
        }
        const int sequence = sequenceLength(data + at, length - at);
        if (sequence == 0)
            return false;
        at += sequence;
    }
    return true;
}

QString textWithReplacements(const QByteArray &bytes)
{
    if (isWellFormedUtf8(bytes.constData(), bytes.size()) && !bytes.startsWith("\xef\xbb\xbf"))
        return QString::fromUtf8(bytes.constData(), bytes.size()); // NULs kept, as below
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    const int length = bytes.size();
    QString text;
    text.reserve(length);
    for (int at = 0; at < length;) {
        if (data[at] < 0x80) {
            text.append(QLatin1Char(static_cast<char>(data[at])));
            ++at;
            continue;
        }
        const int sequence = sequenceLength(data + at, length - at);
        if (sequence == 0) {
            text.append(QChar(QChar::ReplacementCharacter));
            ++at;
            continue;
        }
        // Decoded here: Qt would drop a byte order mark at the start.
        uint code = data[at] & (0x7fu >> sequence);
        for (int i = 1; i < sequence; ++i)
            code = (code << 6) | (data[at + i] & 0x3fu);
        if (QChar::requiresSurrogates(code)) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
        } else {
            text.append(QChar(static_cast<ushort>(code)));
        }
        at += sequence;
    }
    return text;
}
