#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

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

TEST(SecureRandString, EachCharacterEquallyLikely) {
  // 10,000 draws of each of the 62 characters expected: taking random bytes
  // modulo 62 would give the first eight about 21% more.
  constexpr size_t kDraws = 620000;
  std::string text(kDraws + 1, '#');
  ASSERT_TRUE(secure_rand_string(&text[0], kDraws));
  EXPECT_EQ(text[kDraws], '\0');
  text.resize(kDraws);
  std::map<char, size_t> counts;
  for (char c : text) ++counts[c];
  EXPECT_EQ(counts.size(), 62u);
  for (const auto& [c, n] : counts) {
    EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << c;
    EXPECT_NEAR(static_cast<double>(n), 10000.0, 1000.0) << c;
  }
}
