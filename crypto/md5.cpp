#include "crypto/md5.h"

#include <cstdio>
#include <cstring>
#include <ostream>

MD5::MD5() { init(); }

MD5::MD5(const std::string& text) {
  init();
  // update() counts in 32 bits; feed longer texts in pieces.
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    uint32_t piece = left > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(left);
    update(p, piece);
    p += piece;
    left -= piece;
  }
  finalize();
}

void MD5::init() {
  m_finalized = false;
  memset(m_buffer, 0, sizeof m_buffer);
  m_bitCount[0] = 0;
  m_bitCount[1] = 0;
  // RFC 1321 section 3.3.
  m_state[0] = 0x67452301;
  m_state[1] = 0xefcdab89;
  m_state[2] = 0x98badcfe;
  m_state[3] = 0x10325476;
  memset(m_digest, 0, sizeof m_digest);
}

void MD5::decode(uint32_t output[], const uint8_t input[], uint32_t length) {
  for (uint32_t i = 0, j = 0; j < length; ++i, j += 4) {
    output[i] = static_cast<uint32_t>(input[j]) | (static_cast<uint32_t>(input[j + 1]) << 8) |
                (static_cast<uint32_t>(input[j + 2]) << 16) |
                (static_cast<uint32_t>(input[j + 3]) << 24);
  }
}

void MD5::encode(uint8_t output[], const uint32_t input[], uint32_t length) {
  for (uint32_t i = 0, j = 0; j < length; ++i, j += 4) {
    output[j] = static_cast<uint8_t>(input[i]);
    output[j + 1] = static_cast<uint8_t>(input[i] >> 8);
    output[j + 2] = static_cast<uint8_t>(input[i] >> 16);
    output[j + 3] = static_cast<uint8_t>(input[i] >> 24);
  }
}

void MD5::transform(const uint8_t block[kBlockSize]) {
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
  uint32_t x[16];
  decode(x, block, kBlockSize);

  // Round 1: message word i.
  FF(a, b, c, d, x[0], 7, 0xd76aa478);
  FF(d, a, b, c, x[1], 12, 0xe8c7b756);
  FF(c, d, a, b, x[2], 17, 0x242070db);
  FF(b, c, d, a, x[3], 22, 0xc1bdceee);
  FF(a, b, c, d, x[4], 7, 0xf57c0faf);
  FF(d, a, b, c, x[5], 12, 0x4787c62a);
  FF(c, d, a, b, x[6], 17, 0xa8304613);
  FF(b, c, d, a, x[7], 22, 0xfd469501);
  FF(a, b, c, d, x[8], 7, 0x698098d8);
  FF(d, a, b, c, x[9], 12, 0x8b44f7af);
  FF(c, d, a, b, x[10], 17, 0xffff5bb1);
  FF(b, c, d, a, x[11], 22, 0x895cd7be);
  FF(a, b, c, d, x[12], 7, 0x6b901122);
  FF(d, a, b, c, x[13], 12, 0xfd987193);
  FF(c, d, a, b, x[14], 17, 0xa679438e);
  FF(b, c, d, a, x[15], 22, 0x49b40821);

  // Round 2: message word (1 + 5i) mod 16.
  GG(a, b, c, d, x[1], 5, 0xf61e2562);
  GG(d, a, b, c, x[6], 9, 0xc040b340);
  GG(c, d, a, b, x[11], 14, 0x265e5a51);
  GG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  GG(a, b, c, d, x[5], 5, 0xd62f105d);
  GG(d, a, b, c, x[10], 9, 0x02441453);
  GG(c, d, a, b, x[15], 14, 0xd8a1e681);
  GG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  GG(a, b, c, d, x[9], 5, 0x21e1cde6);
  GG(d, a, b, c, x[14], 9, 0xc33707d6);
  GG(c, d, a, b, x[3], 14, 0xf4d50d87);
  GG(b, c, d, a, x[8], 20, 0x455a14ed);
  GG(a, b, c, d, x[13], 5, 0xa9e3e905);
  GG(d, a, b, c, x[2], 9, 0xfcefa3f8);
  GG(c, d, a, b, x[7], 14, 0x676f02d9);
  GG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  // Round 3: message word (5 + 3i) mod 16.
  HH(a, b, c, d, x[5], 4, 0xfffa3942);
  HH(d, a, b, c, x[8], 11, 0x8771f681);
  HH(c, d, a, b, x[11], 16, 0x6d9d6122);
  HH(b, c, d, a, x[14], 23, 0xfde5380c);
  HH(a, b, c, d, x[1], 4, 0xa4beea44);
  HH(d, a, b, c, x[4], 11, 0x4bdecfa9);
  HH(c, d, a, b, x[7], 16, 0xf6bb4b60);
  HH(b, c, d, a, x[10], 23, 0xbebfbc70);
  HH(a, b, c, d, x[13], 4, 0x289b7ec6);
  HH(d, a, b, c, x[0], 11, 0xeaa127fa);
  HH(c, d, a, b, x[3], 16, 0xd4ef3085);
  HH(b, c, d, a, x[6], 23, 0x04881d05);
  HH(a, b, c, d, x[9], 4, 0xd9d4d039);
  HH(d, a, b, c, x[12], 11, 0xe6db99e5);
  HH(c, d, a, b, x[15], 16, 0x1fa27cf8);
  HH(b, c, d, a, x[2], 23, 0xc4ac5665);

  // Round 4: message word 7i mod 16.
  II(a, b, c, d, x[0], 6, 0xf4292244);
  II(d, a, b, c, x[7], 10, 0x432aff97);
  II(c, d, a, b, x[14], 15, 0xab9423a7);
  II(b, c, d, a, x[5], 21, 0xfc93a039);
  II(a, b, c, d, x[12], 6, 0x655b59c3);
  II(d, a, b, c, x[3], 10, 0x8f0ccc92);
  II(c, d, a, b, x[10], 15, 0xffeff47d);
  II(b, c, d, a, x[1], 21, 0x85845dd1);
  II(a, b, c, d, x[8], 6, 0x6fa87e4f);
  II(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  II(c, d, a, b, x[6], 15, 0xa3014314);
  II(b, c, d, a, x[13], 21, 0x4e0811a1);
  II(a, b, c, d, x[4], 6, 0xf7537e82);
  II(d, a, b, c, x[11], 10, 0xbd3af235);
  II(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  II(b, c, d, a, x[9], 21, 0xeb86d391);

  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
  memset(x, 0, sizeof x);
}

void MD5::update(const unsigned char* input, uint32_t length) {
  if (length == 0) return;
  if (input == nullptr) return;
  uint32_t index = (m_bitCount[0] >> 3) & 0x3f;
  // Bit count as a 64-bit value held in two halves, carry low to high.
  if ((m_bitCount[0] += (length << 3)) < (length << 3)) ++m_bitCount[1];
  m_bitCount[1] += length >> 29;

  uint32_t room = kBlockSize - index;
  uint32_t i = 0;
  if (length >= room) {
    memcpy(&m_buffer[index], input, room);
    transform(m_buffer);
    for (i = room; i + kBlockSize <= length; i += kBlockSize) transform(&input[i]);
    index = 0;
  }
  memcpy(&m_buffer[index], &input[i], length - i);
}

void MD5::update(const char* input, uint32_t length) {
  update(reinterpret_cast<const unsigned char*>(input), length);
}

MD5& MD5::finalize() {
  if (m_finalized) return *this;
  static const uint8_t padding[kBlockSize] = {0x80};
  uint8_t bits[8];
  encode(bits, m_bitCount, 8);
  uint32_t index = (m_bitCount[0] >> 3) & 0x3f;
  uint32_t pad_length = index < 56 ? 56 - index : 120 - index;
  update(padding, pad_length);
  update(bits, 8);
  encode(m_digest, m_state, 16);
  memset(m_buffer, 0, sizeof m_buffer);
  m_bitCount[0] = 0;
  m_bitCount[1] = 0;
  m_finalized = true;
  return *this;
}

std::string MD5::hexdigest() const {
  if (!m_finalized) return std::string();
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", m_digest[i]);
  return std::string(hex, 32);
}

std::ostream& operator<<(std::ostream& out, MD5 md5) { return out << md5.hexdigest(); }

std::string md5(const std::string& text) { return MD5(text).hexdigest(); }
