#pragma once

// Whether the bytes decode as UTF-8 to text that encodes back to the same
// bytes: well-formed (no overlong forms, no surrogates, nothing past
// U+10FFFF) and not beginning with a byte order mark, which decoding drops.
bool isWellFormedUtf8(const char *bytes, int length);
