#include <cstring>

#include <gtest/gtest.h>

#include "util/util.h"

TEST(Encoding, GbkUtf8RoundTrip) {
  const char gbk[] = "a\xc4\xe3\xba\xc3";  // a + two CJK characters
  char utf8[16];
  ASSERT_EQ(GbkToUtf8(gbk, strlen(gbk), utf8, sizeof utf8), 0);
  EXPECT_STREQ(utf8, "a\xe4\xbd\xa0\xe5\xa5\xbd");
  char back[16];
  ASSERT_EQ(Utf8ToGbk(utf8, strlen(utf8), back, sizeof back), 0);
  EXPECT_STREQ(back, gbk);
}

TEST(Encoding, StopsEarlyButSucceeds) {
  char out[8];
  memset(out, 'Z', sizeof out);
  // An invalid GBK lead byte pair: only the prefix is converted.
  ASSERT_EQ(GbkToUtf8("ab\xff\xff", 4, out, sizeof out), 0);
  EXPECT_STREQ(out, "ab");
  // No room: the prefix that fits.
  char tiny[4];
  ASSERT_EQ(GbkToUtf8("abcdef", 6, tiny, 3), 0);
  EXPECT_EQ(std::string(tiny, 3), "abc");
}

TEST(Encoding, ToUtf8IsBounded) {
  EXPECT_EQ(to_utf8("plain ascii"), "plain ascii");
  EXPECT_EQ(to_utf8(std::string("ab\0cd", 5)), "ab");
  // GBK doubles grow by half in UTF-8: the result is cut below the buffer.
  std::string gbk;
  for (int i = 0; i < 60000; ++i) gbk += "\xc4\xe3";
  std::string out = to_utf8(gbk);
  EXPECT_LT(out.size(), kEncodingBufferSize);
  EXPECT_GT(out.size(), 100000u);
  EXPECT_EQ(out.substr(0, 3), "\xe4\xbd\xa0");
  EXPECT_EQ(to_unicode("same"), "same");
}
