#include "crypto/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte in the alphabet, -1 for every other byte ("=" included).
struct DecodeTable {
  signed char value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr DecodeTable kDecode;

}  // namespace

const std::string base64_chars = kAlphabet;

void base64_encode_to(const unsigned char* bytes, size_t length, char* out) {
  size_t i = 0;
  for (; i + 3 <= length; i += 3, out += 4) {
    const unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
    out[0] = kAlphabet[b0 >> 2];
    out[1] = kAlphabet[((b0 & 3) << 4) + (b1 >> 4)];
    out[2] = kAlphabet[((b1 & 15) << 2) + (b2 >> 6)];
    out[3] = kAlphabet[b2 & 63];
  }
  const size_t rest = length - i;
  if (rest > 0) {
    const unsigned b0 = bytes[i], b1 = rest > 1 ? bytes[i + 1] : 0;
    out[0] = kAlphabet[b0 >> 2];
    out[1] = kAlphabet[((b0 & 3) << 4) + (b1 >> 4)];
    out[2] = rest > 1 ? kAlphabet[(b1 & 15) << 2] : '=';
    out[3] = '=';
  }
}

std::string base64_encode(const unsigned char* bytes, uint32_t length) {
  std::string out;
  if (bytes == nullptr || length == 0) return out;
  out.resize(base64_encoded_size(length));
  base64_encode_to(bytes, length, &out[0]);
  return out;
}

size_t base64_decode_to(const char* text, size_t length, unsigned char* out) {
  unsigned char* const start = out;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  // Whole groups of four characters of the alphabet, three bytes each.
  size_t i = 0;
  for (; i + 4 <= length; i += 4, out += 3) {
    const int v0 = kDecode.value[in[i]], v1 = kDecode.value[in[i + 1]];
    const int v2 = kDecode.value[in[i + 2]], v3 = kDecode.value[in[i + 3]];
    if ((v0 | v1 | v2 | v3) < 0) break;  // the group holds an end: done below
    const unsigned w = (static_cast<unsigned>(v0) << 18) | (static_cast<unsigned>(v1) << 12) |
                       (static_cast<unsigned>(v2) << 6) | static_cast<unsigned>(v3);
    out[0] = static_cast<unsigned char>(w >> 16);
    out[1] = static_cast<unsigned char>(w >> 8);
    out[2] = static_cast<unsigned char>(w);
  }
  // What is left is less than a group, or the group holding the end ("="
  // or any byte outside the alphabet): at most three characters before it.
  unsigned c[3];
  int n = 0;
  for (; i < length && n < 3; ++i) {
    const int v = kDecode.value[static_cast<unsigned char>(text[i])];
    if (v < 0) break;
    c[n++] = static_cast<unsigned>(v);
  }
  // A partial group of two or three characters; the missing ones count as 0.
  if (n >= 2) {
    if (n == 2) c[2] = 0;
    *out++ = static_cast<unsigned char>(((c[0] << 2) + ((c[1] & 0x30) >> 4)) & 0xff);
    if (n == 3) *out++ = static_cast<unsigned char>(((c[1] << 4) + ((c[2] & 0x3c) >> 2)) & 0xff);
  }
  return static_cast<size_t>(out - start);
}

std::string base64_decode(const std::string& text) {
  std::string out(base64_decoded_room(text.size()), '\0');
  out.resize(base64_decode_to(text.data(), text.size(), reinterpret_cast<unsigned char*>(&out[0])));
  return out;
}
