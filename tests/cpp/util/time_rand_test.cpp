#include <cctype>
#include <cstring>
#include <ctime>

#include <gtest/gtest.h>

#include "util/util.h"

TEST(Time, NowAndDate) {
  int64_t before = static_cast<int64_t>(time(nullptr));
  int64_t now = get_time();
  EXPECT_GE(now, before);
  EXPECT_LE(now, before + 2);
  EXPECT_EQ(get_date("%Y").size(), 4u);
  EXPECT_EQ(get_date("literal"), "literal");
  EXPECT_EQ(get_date(std::string(100, 'x')), "");  // would not fit 80 bytes
}

TEST(RandString, AlphabetAndTerminator) {
  char buf[64];
  memset(buf, 'Z', sizeof buf);
  rand_string(buf, 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'Z');

  memset(buf, '#', sizeof buf);
  rand_string(buf, 40);
  EXPECT_EQ(strlen(buf), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(isalnum(static_cast<unsigned char>(buf[i])));
}

TEST(RandString, SameSecondSameString) {
  char a[17], b[17];
  for (int attempt = 0; attempt < 3; ++attempt) {
    time_t t0 = time(nullptr);
    rand_string(a, 16);
    rand_string(b, 16);
    if (time(nullptr) == t0) {
      EXPECT_STREQ(a, b);
      return;
    }
  }
  FAIL() << "the clock kept moving between calls";
}
