#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "loader/loader.h"
#include "test_support.h"
#include "util/util.h"

TEST(WriteFile2, AppendsAndReportsFailure) {
  ScratchDir dir;
  const std::string f = dir.file("out");
  EXPECT_GE(Ps.write_file2(f, "one", "a"), 0);
  EXPECT_GE(Ps.write_file2(f, "two", "a"), 0);
  EXPECT_EQ(read_bytes(f), "onetwo");
  EXPECT_GE(Ps.write_file2(f, "new", "w"), 0);
  EXPECT_EQ(read_bytes(f), "new");
  EXPECT_EQ(Ps.write_file2(dir.file("no/such/dir"), "x", "a"), EOF);
}

TEST(LoaderLog, OneLinePerRecordAppendedUnderThePanelRoot) {
  const std::string data = get_path() + "/data";
  std::filesystem::create_directories(data);
  const std::string file = data + "/plugin_loader.log";
  write_bytes(file, "earlier\n");
  Ps.log("a");
  Ps.log("b");
  EXPECT_EQ(read_bytes(file), "earlier\na\nb\n");
  std::remove(file.c_str());
}
