#include <gtest/gtest.h>

#include "util/util.h"

using Pieces = std::vector<std::string>;

TEST(Split, SeparatorsAreASetAndRunsMakeOneCut) {
  EXPECT_EQ(split("a,,b,", ","), (Pieces{"a", "b"}));
  EXPECT_EQ(split(",,", ","), Pieces{});
  EXPECT_EQ(split("", ","), Pieces{});
  EXPECT_EQ(split("a b;c", " ;"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(split("a-b", "-+"), (Pieces{"a", "b"}));
  EXPECT_EQ(split("a+b", "-+"), (Pieces{"a", "b"}));
  EXPECT_EQ(split("abc", ""), Pieces{"abc"});
  EXPECT_EQ(split("\n\nx\r\n\ny\n", "\n"), (Pieces{"x\r", "y"}));
}

TEST(Split, TextEndsAtFirstNul) {
  EXPECT_EQ(split(std::string("a,b\0,c", 6), ","), (Pieces{"a", "b"}));
  EXPECT_EQ(split(std::string("\0abc", 4), ","), Pieces{});
  EXPECT_EQ(split(std::string("\0abc", 4), ""), Pieces{});
}

TEST(Trim, RemovesCWhiteSpaceAtBothEnds) {
  std::string s = " \ta b\r\n";
  trim(s);
  EXPECT_EQ(s, "a b");
  s = "\n\n";
  trim(s);
  EXPECT_EQ(s, "");
  s = "\v\fx y\f\v";
  trim(s);
  EXPECT_EQ(s, "x y");
  s = "\xa0x\xa0";  // bytes above 0x7f are not white space
  trim(s);
  EXPECT_EQ(s, "\xa0x\xa0");
}

TEST(Strlwr, LowersOnlyAsciiCapitals) {
  char buf[] = "AB:CD-\xc3\x89Z@[";
  EXPECT_EQ(strlwr_s(buf), buf);
  EXPECT_STREQ(buf, "ab:cd-\xc3\x89z@[");
}

TEST(ReplaceAll, NeverRescansInsertedText) {
  std::string s = "aaa";
  EXPECT_EQ(replace_all(s, "a", "aa"), "aaaaaa");
  s = "abab";
  EXPECT_EQ(replace_all(s, "ab", ""), "");
  s = "aaaa";
  EXPECT_EQ(replace_all(s, "aa", "b"), "bb");
  s = "xyz";
  EXPECT_EQ(replace_all(s, "", "q"), "xyz");
}

TEST(SplitBylen, PiecesWithRemainderLast) {
  EXPECT_EQ(split_bylen("abcdefg", 3), (Pieces{"abc", "def", "g"}));
  EXPECT_EQ(split_bylen("abcdef", 3), (Pieces{"abc", "def"}));
  EXPECT_EQ(split_bylen("", 3), Pieces{});
  EXPECT_EQ(split_bylen(std::string("ab\0cd", 5), 1), (Pieces{"a", "b"}));
}

TEST(StrncmpS, PrefixTest) {
  EXPECT_TRUE(strncmp_s("", "anything"));
  EXPECT_TRUE(strncmp_s("ab", "abc"));
  EXPECT_FALSE(strncmp_s("abc", "ab"));
  EXPECT_FALSE(strncmp_s("b", "abc"));
}
