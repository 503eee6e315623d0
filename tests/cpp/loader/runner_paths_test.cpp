#include "loader/runner_paths.h"

#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "loader/loader.h"
#include "test_support.h"

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

TEST(ComposeBounded, FitsExactlyOrRefusesWithoutOverrun) {
  char area[300];
  memset(area, 'Z', sizeof area);
  std::string fill(255, 'x');
  EXPECT_TRUE(compose_bounded(area, kRunnerPathSize, "%s", fill.c_str()));
  EXPECT_EQ(strlen(area), 255u);

  memset(area, 'Z', sizeof area);
  fill.push_back('y');
  EXPECT_FALSE(compose_bounded(area, kRunnerPathSize, "%s", fill.c_str()));
  EXPECT_EQ(area[kRunnerPathSize - 1], '\0');
  for (size_t i = kRunnerPathSize; i < sizeof area; ++i) ASSERT_EQ(area[i], 'Z') << i;

  char name[kEntryClassSize];
  EXPECT_TRUE(compose_bounded(name, sizeof name, "%s_main", std::string(58, 'p').c_str()));
  EXPECT_FALSE(compose_bounded(name, sizeof name, "%s_main", std::string(59, 'p').c_str()));
}

TEST(ModuleDirs, QualifyingRules) {
  ScratchDir dir;
  for (const char* d :
       {"abModel", "projectModel", "xModel", "old.Model", "model_x", "aModelzz", "realdir"}) {
    ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0) << d;
  }
  write_bytes(dir.file("fileModel"), "x");
  ASSERT_EQ(symlink("realdir", dir.file("linkModel").c_str()), 0);

  std::vector<std::string> found;
  ASSERT_TRUE(list_module_dirs(dir.path(), found));

  // Same order as the directory listing itself.
  std::vector<std::string> expected;
  DIR* d = opendir(dir.path().c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "abModel" || n == "projectModel" || n == "aModelzz") expected.push_back(n);
  }
  closedir(d);
  EXPECT_EQ(found, expected);
  EXPECT_EQ(found.size(), 3u);
}

TEST(ModuleDirs, UnopenableDirectoryLeavesListAlone) {
  ScratchDir dir;
  std::vector<std::string> found{"keep"};
  EXPECT_FALSE(list_module_dirs(dir.file("missing"), found));
  EXPECT_EQ(found, std::vector<std::string>{"keep"});
}

TEST(FileSize, SizesAndAbsence) {
  ScratchDir dir;
  write_bytes(dir.file("empty"), "");
  write_bytes(dir.file("ten"), "0123456789");
  ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
  EXPECT_EQ(get_file_size(dir.file("empty")), 0);
  EXPECT_EQ(get_file_size(dir.file("ten")), 10);
  EXPECT_EQ(get_file_size(dir.file("none")), -1);
  EXPECT_EQ(get_file_size(dir.file("dangling")), -1);
}
