// Base64 with the standard alphabet and "=" padding, no line breaks.
#pragma once

#include <cstdint>
#include <string>

// "A-Za-z0-9+/": a character's value is its position.
extern const std::string base64_chars;

// 4 * ceil(length / 3) characters.
std::string base64_encode(const unsigned char* bytes, uint32_t length);

// Lenient decoding: stops at the end, at the first "=" or at the first
// character outside the alphabet (white space included) and ignores the
// rest.  A trailing group of two or three characters gives one or two bytes,
// a lone character nothing.  Never fails; may return NUL bytes.
std::string base64_decode(const std::string& text);
