#include "base64_encode.h"

namespace updateserver {

std::string base64_encode(const std::string& bytes)
{
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        text += ALPHABET[v >> 18];
        text += ALPHABET[(v >> 12) & 0x3F];
        text += ALPHABET[(v >> 6) & 0x3F];
        text += ALPHABET[v & 0x3F];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        text += ALPHABET[v >> 18];
        text += ALPHABET[(v >> 12) & 0x3F];
        text += rest == 2 ? ALPHABET[(v >> 6) & 0x3F] : '=';
        text += '=';
    }
    return text;
}

}  // namespace updateserver
