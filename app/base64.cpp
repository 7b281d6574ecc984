#include "base64.h"

#include <new>

namespace {

constexpr int INVALID = -1;
constexpr int PADDING = -2;

int _value_of(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    if (c == '=')
        return PADDING;
    return INVALID;
}

// Padding may only end the text: "=" in the last place, or in the last two.
bool _padding_allowed(size_t index, size_t length, const char* text)
{
    if (index == length - 1)
        return true;
    return index == length - 2 && text[length - 1] == '=';
}

}  // namespace

std::unique_ptr<uint8_t[]> base64_decode(const char* text, size_t length, size_t* outLength)
{
    if (outLength)
        *outLength = 0;
    if (length % 4 != 0 || (!text && length > 0))
        return nullptr;

    size_t produced = length / 4 * 3;
    if (length > 0 && text[length - 1] == '=')
        --produced;
    if (length > 1 && text[length - 2] == '=')
        --produced;

    std::unique_ptr<uint8_t[]> out;
    try {
        out = std::make_unique<uint8_t[]>(produced + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }

    size_t written = 0;
    for (size_t group = 0; group < length; group += 4) {
        uint32_t bits = 0;
        for (size_t i = group; i < group + 4; ++i) {
            int value = _value_of(text[i]);
            if (value == INVALID || (value == PADDING && !_padding_allowed(i, length, text)))
                return nullptr;
            bits = (bits << 6) | uint32_t(value < 0 ? 0 : value);
        }
        for (int shift = 16; shift >= 0 && written < produced; shift -= 8)
            out[written++] = uint8_t(bits >> shift);
    }
    out[produced] = 0;
    if (outLength)
        *outLength = produced;
    return out;
}
