#include "systemlog.h"

QByteArray escapedForLog(const QByteArray &text)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            out.append("\\x");
            out.append(hex[byte >> 4]);
            out.append(hex[byte & 0xf]);
        } else {
            out.append(c);
        }
    }
    return out;
}

QByteArray escapedForLog(const QString &text)
{
    return escapedForLog(text.toLocal8Bit());
}
