// The MD5 message digest of RFC 1321, given as 32 lower-case hex digits.
// MD5 is broken for collision resistance; it serves as a checksum here.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

class MD5 {
 public:
  MD5();
  // Digests the whole text; the object is finished on return.
  explicit MD5(const std::string& text);

  void update(const unsigned char* input, uint32_t length);
  void update(const char* input, uint32_t length);
  // Finishes the digest; later calls do nothing.
  MD5& finalize();
  // The digest in hex, or "" while the object is not finalized.
  std::string hexdigest() const;

 private:
  enum { kBlockSize = 64 };

  void init();
  void transform(const uint8_t block[kBlockSize]);
  static void decode(uint32_t output[], const uint8_t input[], uint32_t length);
  static void encode(uint8_t output[], const uint32_t input[], uint32_t length);

  static uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
  static uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
  static uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
  static uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }
  static uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
  static void FF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + F(b, c, d) + x + ac, s) + b;
  }
  static void GG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + G(b, c, d) + x + ac, s) + b;
  }
  static void HH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + H(b, c, d) + x + ac, s) + b;
  }
  static void II(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + I(b, c, d) + x + ac, s) + b;
  }

  bool m_finalized;
  uint8_t m_buffer[kBlockSize];
  uint32_t m_bitCount[2];  // low word first
  uint32_t m_state[4];
  uint8_t m_digest[16];
};

std::ostream& operator<<(std::ostream& out, MD5 md5);

// The hex digest of text.
std::string md5(const std::string& text);
