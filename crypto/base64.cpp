#include "crypto/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte in the alphabet, -1 for every other byte.
struct DecodeTable {
  signed char value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr DecodeTable kDecode;

// Letters, digits, "+" and "/".
bool is_base64(unsigned char c) { return kDecode.value[c] >= 0; }

}  // namespace

const std::string base64_chars = kAlphabet;

std::string base64_encode(const unsigned char* bytes, uint32_t length) {
  std::string out;
  if (bytes == nullptr || length == 0) return out;
  out.reserve((static_cast<size_t>(length) + 2) / 3 * 4);
  uint32_t i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) + (b1 >> 4)];
    out += kAlphabet[((b1 & 15) << 2) + (b2 >> 6)];
    out += kAlphabet[b2 & 63];
  }
  uint32_t rest = length - i;
  if (rest > 0) {
    unsigned b0 = bytes[i], b1 = rest > 1 ? bytes[i + 1] : 0;
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) + (b1 >> 4)];
    out += rest > 1 ? kAlphabet[(b1 & 15) << 2] : '=';
    out += '=';
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  unsigned c[4];
  int n = 0;
  for (unsigned char ch : text) {
    if (ch == '=' || !is_base64(ch)) break;
    c[n++] = static_cast<unsigned>(kDecode.value[ch]);
    if (n == 4) {
      out += static_cast<char>(((c[0] << 2) + ((c[1] & 0x30) >> 4)) & 0xff);
      out += static_cast<char>(((c[1] << 4) + ((c[2] & 0x3c) >> 2)) & 0xff);
      out += static_cast<char>(((c[2] << 6) + c[3]) & 0xff);
      n = 0;
    }
  }
  // A partial group of two or three characters; the missing ones count as 0.
  if (n >= 2) {
    if (n == 2) c[2] = 0;
    out += static_cast<char>(((c[0] << 2) + ((c[1] & 0x30) >> 4)) & 0xff);
    if (n == 3) out += static_cast<char>(((c[1] << 4) + ((c[2] & 0x3c) >> 2)) & 0xff);
  }
  return out;
}
