#include "loader/runner_paths.h"

#include <cstring>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "loader/loader.h"
#include "test_support.h"
#include "util/util.h"

namespace {

// The refused substrings, searched one after another.
bool naive_allowed(const std::string& text) {
  static const char* const table[] = {"./", "..", ",",  ";",  ":",  "?",  "'",  "\"", "<",  ">",
                                      "|",  "\\", "\n", "\r", "\t", "\b", "\a", "\f", "\v", "*",
                                      "%",  "&",  "$",  "#",  "@",  "!",  "~",  "`",  "^",  "(",
                                      ")",  "+",  "=",  "{",  "}",  "[",  "]"};
  for (const char* entry : table) {
    if (strstr(text.c_str(), entry) != nullptr) return false;
  }
  return true;
}

}  // namespace

TEST(PathCheck, NamedExamples) {
  for (const char* bad :
       {"../x", "a.b..c", "demo;ls", "x$y", "./a", "a\tb", "q[1]", "a..", "dir/./x"}) {
    EXPECT_EQ(Ps.path_check(bad), 0) << bad;
  }
  for (const char* good : {"a/b", "a.b", "my plugin", "demo-2", "/", ".", "a_b", "a.", "插件"}) {
    EXPECT_EQ(Ps.path_check(good), 1) << good;
  }
}

TEST(PathCheck, AgreesWithTheTableOnEveryOneAndTwoByteText) {
  for (int a = 1; a < 256; ++a) {
    std::string one(1, static_cast<char>(a));
    ASSERT_EQ(Ps.path_check(one.c_str()) == 1, naive_allowed(one)) << "byte " << a;
    for (int b = 1; b < 256; ++b) {
      std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(Ps.path_check(two.c_str()) == 1, naive_allowed(two)) << "bytes " << a << " " << b;
    }
  }
}

TEST(JoinBounded, FitsExactlyOrRefusesWithoutOverrun) {
  char area[300];
  memset(area, 'Z', sizeof area);
  std::string fill(250, 'x');
  EXPECT_TRUE(join_bounded(area, kRunnerPathSize, {fill, "/", "abcd"}));  // 255 bytes
  EXPECT_EQ(std::string(area), fill + "/abcd");

  memset(area, 'Z', sizeof area);
  EXPECT_FALSE(join_bounded(area, kRunnerPathSize, {fill, "/", "abcde"}));
  EXPECT_EQ(area[0], '\0');
  for (size_t i = kRunnerPathSize; i < sizeof area; ++i) ASSERT_EQ(area[i], 'Z') << i;

  char name[kEntryClassSize];
  EXPECT_TRUE(join_bounded(name, sizeof name, {std::string(58, 'p'), "_main"}));
  EXPECT_FALSE(join_bounded(name, sizeof name, {std::string(59, 'p'), "_main"}));
  EXPECT_TRUE(join_bounded(name, sizeof name, {}));
  EXPECT_EQ(name[0], '\0');
}

TEST(FileStatus, AgreesWithTheSeparateTimeAndSizeHelpers) {
  ScratchDir dir;
  write_bytes(dir.file("empty"), "");
  write_bytes(dir.file("ten"), "0123456789");
  ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
  EXPECT_EQ(get_file_size(dir.file("empty")), 0);
  EXPECT_EQ(get_file_size(dir.file("ten")), 10);
  for (const char* name : {"empty", "ten", "none", "dangling"}) {
    const std::string path = dir.file(name);
    FileStatus st = file_status(path.c_str());
    EXPECT_EQ(st.exists, file_exists(path)) << name;
    EXPECT_EQ(st.size, get_file_size(path)) << name;
    EXPECT_EQ(st.mtime, get_file_mtime(path)) << name;
  }
  EXPECT_EQ(get_file_size(dir.file("none")), -1);
  EXPECT_EQ(get_file_size(dir.file("dangling")), -1);
}

TEST(FirstExisting, CandidateTooLongForTheBufferCountsAsAbsent) {
  // A root so long that the first candidate cannot fit 256 bytes while the
  // second one can: only the second can be found.
  ScratchDir dir;
  std::string root = dir.path();
  while (root.size() < 150) root += "/" + std::string(20, 'r');
  ASSERT_EQ(ExecShell("mkdir -p '" + root + "/p' && touch '" + root + "/p/e.so' && echo ok"),
            "ok\n");
  const std::string long_tail = "/p/e" + std::string(120, 'x') + ".so";
  char buf[kRunnerPathSize];
  EXPECT_TRUE(first_existing(buf, sizeof buf, {{root, long_tail}, {root, "/p/e.so"}}));
  EXPECT_EQ(std::string(buf), root + "/p/e.so");
  EXPECT_FALSE(first_existing(buf, sizeof buf, {{root, long_tail}, {root, "/p/none.so"}}));
  EXPECT_STREQ(buf, "");
}
