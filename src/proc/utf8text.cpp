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
