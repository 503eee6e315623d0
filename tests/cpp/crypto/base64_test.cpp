#include "crypto/base64.h"

#include <string>

#include <gtest/gtest.h>

#include "crypto/hex.h"

namespace {

std::string encode(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
}

}  // namespace

TEST(Base64, Rfc4648Section10BothWays) {
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(encode(row.first), row.second);
    EXPECT_EQ(base64_decode(row.second), row.first);
  }
  EXPECT_EQ(base64_chars, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n <= all.size(); n += 37) {
    const std::string piece = all.substr(all.size() - n);
    const std::string text = encode(piece);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(to_hex(base64_decode(text)), to_hex(piece));
  }
  EXPECT_EQ(encode("\xfb\xff"), "+/8=");
}

TEST(Base64, DecodingStopsAtTheFirstUnacceptableCharacter) {
  EXPECT_EQ(base64_decode("aGVsbG8="), "hello");
  EXPECT_EQ(base64_decode("aGVsbG8"), "hello");   // pad missing
  EXPECT_EQ(base64_decode("aGVs bG8="), "hel");   // a blank ends it
  EXPECT_EQ(base64_decode("aGVs\nbG8="), "hel");  // so does a line break
  EXPECT_EQ(base64_decode("QQ==QUJD"), "A");      // nothing after "=" is read
  EXPECT_EQ(base64_decode("QUJD-QUJD"), "ABC");   // URL-safe characters are foreign
  EXPECT_EQ(base64_decode("AAA="), std::string(2, '\0'));
}

TEST(Base64, LeftoversGiveNothing) {
  for (const char* text : {"", "Q", "=QUJD", "*QUJD", " QUJD"}) {
    EXPECT_EQ(base64_decode(text), "") << '"' << text << '"';
  }
  // A lone character after whole groups adds nothing.
  EXPECT_EQ(base64_decode("QUJDR"), "ABC");
  // Two and three characters give one and two bytes; spare bits are ignored.
  EXPECT_EQ(base64_decode("QR"), "A");
  EXPECT_EQ(base64_decode("QUJ"), "AB");
}
