#ifndef QUORVEL_BASE64_H
#define QUORVEL_BASE64_H

#include <cstddef>
#include <cstdint>
#include <memory>

// Decodes standard Base64 ("A"-"Z", "a"-"z", "0"-"9", "+", "/", "=" padding).
// Returns the bytes followed by a NUL that `outLength` does not count, or
// null when the length is not a multiple of four, a character lies outside
// the alphabet (an "=" anywhere but in the last two places counts as one),
// or memory runs out. An empty text gives an empty buffer, not null.
std::unique_ptr<uint8_t[]> base64_decode(const char* text, size_t length, size_t* outLength);

#endif
