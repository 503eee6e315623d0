// Base64 with the standard alphabet and "=" padding, no line breaks.
#pragma once

#include <cstddef>
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

// The same two codecs on caller buffers, for callers that keep their own.
// base64_encode_to writes base64_encoded_size(length) characters (no NUL) to
// out; base64_decode_to writes at most base64_decoded_room(length) bytes and
// returns how many it wrote.
constexpr size_t base64_encoded_size(size_t length) { return (length + 2) / 3 * 4; }
constexpr size_t base64_decoded_room(size_t length) { return length / 4 * 3 + 2; }
void base64_encode_to(const unsigned char* bytes, size_t length, char* out);
size_t base64_decode_to(const char* text, size_t length, unsigned char* out);
