#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "util/util.h"

TEST(Files, PanelRootIsAbsoluteWithoutTrailingSlash) {
  std::string root = get_path();
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(root.front(), '/');
  EXPECT_NE(root.back(), '/');
}

TEST(Files, FileExistsFollowsLinks) {
  ScratchDir dir;
  write_bytes(dir.file("a"), "x");
  ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
  EXPECT_TRUE(file_exists(dir.file("a")));
  EXPECT_TRUE(file_exists(dir.path()));  // directories count
  EXPECT_FALSE(file_exists(dir.file("dangling")));
  EXPECT_FALSE(file_exists(dir.file("none")));
}

TEST(Files, FileGetContentsReadsLongLinesWhole) {
  ScratchDir dir;
  std::string big(25000, 'q');
  big[10238] = 'A';  // around the first piece boundary
  big[10239] = 'B';
  write_bytes(dir.file("big"), big);
  EXPECT_EQ(file_get_contents(dir.file("big")), big);
}

TEST(Files, FileGetContentsDropsRestOfLineAfterNul) {
  ScratchDir dir;
  write_bytes(dir.file("nul"), std::string("ab\0cd\nef\n", 9));
  // The rest of the line, its newline included, is lost.
  EXPECT_EQ(file_get_contents(dir.file("nul")), "abef\n");
}

TEST(Files, FileGetContentsNulCutsOnlyItsOwnPiece) {
  ScratchDir dir;
  // One 25,000-byte line is read in pieces of 10,239 bytes: a NUL in the
  // first piece drops the rest of that piece only.
  std::string line(25000, 'x');
  line[5] = '\0';
  line[10239] = 'B';
  write_bytes(dir.file("long"), line + std::string("\nnext\0gone\nlast", 15));
  std::string want = line.substr(0, 5) + line.substr(10239) + "\nnextlast";
  std::string got = file_get_contents(dir.file("long"));
  EXPECT_TRUE(got == want) << "got " << got.size() << " bytes, want " << want.size();
}

TEST(Files, FileGetContentsEmptyForMissingDirectoryAndEmpty) {
  ScratchDir dir;
  write_bytes(dir.file("empty"), "");
  EXPECT_EQ(file_get_contents(dir.file("missing")), "");
  EXPECT_EQ(file_get_contents(dir.path()), "");
  EXPECT_EQ(file_get_contents(dir.file("empty")), "");
}

TEST(Files, GetFileIsBoundedByTheBuffer) {
  ScratchDir dir;
  write_bytes(dir.file("f"), "0123456789\nabcdef");
  char out[8];
  memset(out, 'Z', sizeof out);
  EXPECT_TRUE(get_file(dir.file("f"), out, sizeof out));
  EXPECT_STREQ(out, "0123456");

  char big[64] = "junk";
  EXPECT_TRUE(get_file(dir.file("f"), big, sizeof big));
  EXPECT_STREQ(big, "0123456789\nabcdef");
  EXPECT_FALSE(get_file(dir.file("missing"), big, sizeof big));
  EXPECT_STREQ(big, "");
}

TEST(Files, WriteFileTruncatesAndStopsAtNul) {
  ScratchDir dir;
  write_bytes(dir.file("w"), "old content that is long");
  EXPECT_TRUE(write_file(dir.file("w"), std::string("new\0tail", 8)));
  EXPECT_EQ(read_bytes(dir.file("w")), "new");
}

TEST(Files, WriteFileIntoMissingDirectoryCreatesNothing) {
  ScratchDir dir;
  EXPECT_TRUE(write_file(dir.file("no/such/file"), "x"));
  EXPECT_FALSE(file_exists(dir.file("no")));
}

TEST(Files, MtimeOfFileAndMissingPath) {
  ScratchDir dir;
  write_bytes(dir.file("m"), "x");
  struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("m").c_str(), times, 0), 0);
  EXPECT_EQ(get_file_mtime(dir.file("m")), 1234567890);
  EXPECT_EQ(get_file_mtime(dir.file("missing")), 0);
}

TEST(Files, ReplaceFileAtomicLeavesNoTemporaries) {
  ScratchDir dir;
  write_bytes(dir.file("cat"), "old");
  EXPECT_TRUE(replace_file_atomic(dir.file("cat"), "new text"));
  EXPECT_EQ(read_bytes(dir.file("cat")), "new text");
  EXPECT_EQ(ExecShell("ls '" + dir.path() + "'"), "cat\n");
  EXPECT_FALSE(replace_file_atomic(dir.file("missing/cat"), "x"));
}

TEST(Files, ReplaceFileAtomicRemovesTemporariesOfEndedProcesses) {
  ScratchDir dir;
  const pid_t ended = fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const std::string dead = std::to_string(ended);
  const std::vector<std::string> gone = {"cat.tmp." + dead + ".0", "cat.tmp." + dead + ".17"};
  // A living process's file, names not quite of a temporary, another file's.
  const std::vector<std::string> kept = {"cat.tmp." + std::to_string(getppid()) + ".0",
                                         "cat.tmp." + dead, "cat.tmp." + dead + ".x", "cat.tmp.0.0",
                                         "cat.err.tmp." + dead + ".0"};
  for (const auto* names : {&gone, &kept}) {
    for (const std::string& name : *names) write_bytes(dir.file(name), "left over");
  }
  EXPECT_TRUE(replace_file_atomic(dir.file("cat"), "new"));
  for (const std::string& name : gone) EXPECT_FALSE(file_exists(dir.file(name))) << name;
  for (const std::string& name : kept) EXPECT_TRUE(file_exists(dir.file(name))) << name;
}

TEST(Files, CreateFileExclusiveKeepsTheFirstWriter) {
  ScratchDir dir;
  EXPECT_EQ(create_file_exclusive(dir.file("iv"), "first"), 1);
  EXPECT_EQ(create_file_exclusive(dir.file("iv"), "second"), 0);
  EXPECT_EQ(read_bytes(dir.file("iv")), "first");
  EXPECT_EQ(ExecShell("ls '" + dir.path() + "'"), "iv\n");
  EXPECT_EQ(create_file_exclusive(dir.file("missing/iv"), "x"), -1);
}

TEST(Files, CreateFileExclusiveRaceHasOneWinner) {
  ScratchDir dir;
  const int kProcs = 8;
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcs; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = create_file_exclusive(dir.file("iv"), "writer-" + std::to_string(i));
      _exit(rc == 1 ? 1 : (rc == 0 ? 0 : 2));
    }
    pids.push_back(pid);
  }
  int winners = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2);
    winners += WEXITSTATUS(status);
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(read_bytes(dir.file("iv")).rfind("writer-", 0), 0u);
}
