#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <utility>
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
  // A folder in the way stays, and takes no temporary with it.
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  EXPECT_FALSE(replace_file(dir.file("sub"), "x"));
  EXPECT_EQ(ExecShell("ls '" + dir.path() + "'"), "cat\nsub\n");
}

// Sets a file's modification time (a link's own) seconds_ago into the past.
static void age(const std::string& path, int seconds_ago) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = time(nullptr) - seconds_ago;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(Files, ReplaceFileAtomicRemovesOnlyStaleTemporaries) {
  ScratchDir dir;
  const pid_t ended = fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) end_child(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const std::string dead = std::to_string(ended);
  const std::string living = std::to_string(getppid());
  // Whose they were tells nothing: a writer in another PID namespace may
  // be alive.  Only their age counts.
  const std::vector<std::string> stale = {"cat.tmp.AbCdEfGhIjKlMn01", "cat.tmp." + living + ".0"};
  const std::vector<std::string> fresh = {"cat.tmp.ZyXwVuTsRqPoNm98", "cat.tmp." + dead + ".3"};
  const std::vector<std::string> others = {"cat.tmp.short",
                                           "cat.tmp." + dead,
                                           "cat.tmp.0.x",
                                           "cat.err.tmp.AbCdEfGhIjKlMn01",
                                           "cat.tmp.12.",
                                           "cat.tmp..3",
                                           "cat.tmp.AbCdEfGhIjKlMn0-"};
  for (const auto* names : {&stale, &fresh, &others}) {
    for (const std::string& name : *names) write_bytes(dir.file(name), "left over");
  }
  ASSERT_EQ(symlink("/nonexistent", dir.file("cat.tmp.LinkLinkLinkLink").c_str()), 0);
  for (const auto* names : {&stale, &others}) {
    for (const std::string& name : *names) age(dir.file(name), 2 * 3600);
  }
  age(dir.file("cat.tmp.LinkLinkLinkLink"), 2 * 3600);

  EXPECT_TRUE(replace_file_atomic(dir.file("cat"), "new"));
  for (const std::string& name : stale) EXPECT_FALSE(file_exists(dir.file(name))) << name;
  for (const auto* names : {&fresh, &others}) {
    for (const std::string& name : *names) EXPECT_TRUE(file_exists(dir.file(name))) << name;
  }
  struct stat st;
  EXPECT_EQ(lstat(dir.file("cat.tmp.LinkLinkLinkLink").c_str(), &st), 0) << "only files go";
}

TEST(Files, ReplacementTakesNothingFromALink) {
  ScratchDir dir;
  // A set-user-ID target behind a link, and guessable temporary names made
  // ready as links to it: none of it may shape or receive the new file.
  write_bytes(dir.file("target"), "target");
  ASSERT_EQ(chmod(dir.file("target").c_str(), 04755), 0);
  ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("cat").c_str()), 0);
  for (int n = 0; n < 32; ++n) {
    const std::string name = "cat.tmp." + std::to_string(getpid()) + "." + std::to_string(n);
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file(name).c_str()), 0);
  }
  const mode_t mask = umask(022);
  EXPECT_TRUE(replace_file_atomic(dir.file("cat"), "new"));
  struct stat st;
  ASSERT_EQ(lstat(dir.file("cat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(read_bytes(dir.file("cat")), "new");
  EXPECT_EQ(read_bytes(dir.file("target")), "target");

  // A regular file passes on its permission bits, never the special ones
  // nor write permission for group or others.
  for (const auto& [before, after] :
       {std::pair<mode_t, mode_t>{06751, 0751}, {0777, 0755}, {0662, 0640}}) {
    ASSERT_EQ(chmod(dir.file("cat").c_str(), before), 0);
    EXPECT_TRUE(replace_file_atomic(dir.file("cat"), "newer"));
    ASSERT_EQ(lstat(dir.file("cat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, after) << std::oct << before;
  }
  umask(mask);
}

TEST(Files, ReadFileNoLinkReadsOnlyARegularFileAtItsName) {
  ScratchDir dir;
  const std::string bytes("ab\0cd\n", 6);
  write_bytes(dir.file("f"), bytes);
  ASSERT_EQ(symlink(dir.file("f").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), dir.file("folder").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::string out;
  // Its bytes as they are; a link among the folders on the way is followed.
  ASSERT_TRUE(read_file_no_link(dir.file("folder/f"), out, 6));
  EXPECT_EQ(out, bytes);
  for (const auto& [name, outcome] :
       {std::pair<const char*, NoLinkRead::Outcome>{"link", NoLinkRead::kLink},
        {"fifo", NoLinkRead::kNotRegular},
        {"", NoLinkRead::kNotRegular},
        {"missing", NoLinkRead::kMissing},
        {"f/below", NoLinkRead::kUnreadable}}) {
    out = "junk";
    EXPECT_EQ(read_file_no_link(dir.file(name), out, 100).outcome, outcome) << name;
    EXPECT_EQ(out, "") << name;
  }
}

TEST(Files, ReplaceFileInPlaceNeverThroughALink) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write as another user";
  ScratchDir dir;
  ScratchDir outside;
  const uid_t nobody = 65534;
  // The folder refuses new files to the writer, so only a write in place
  // remains; the files it may write are the writer's own.
  write_bytes(outside.file("victim"), "victim");
  write_bytes(dir.file("plain"), "old");
  ASSERT_EQ(symlink(outside.file("victim").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(link(outside.file("victim").c_str(), dir.file("hard").c_str()), 0);
  for (const std::string& f : {outside.file("victim"), dir.file("plain")}) {
    ASSERT_EQ(chown(f.c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(chmod(dir.file("plain").c_str(), 0666), 0);
  for (const std::string& d : {dir.path(), outside.path()}) ASSERT_EQ(chmod(d.c_str(), 0755), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(nobody) != 0 || setuid(nobody) != 0) end_child(10);
    int code = 0;
    if (!replace_file(dir.file("plain"), "new")) code |= 1;
    if (replace_file(dir.file("link"), "planted") || errno != ELOOP) code |= 2;
    if (replace_file(dir.file("hard"), "planted") || errno != EMLINK) code |= 4;
    end_child(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_bytes(dir.file("plain")), "new");
  EXPECT_EQ(read_bytes(outside.file("victim")), "victim");
  struct stat st;
  ASSERT_EQ(stat(dir.file("plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "written in place, it keeps no write for others";
}

TEST(Files, CreateFileExclusiveKeepsTheFirstWriter) {
  ScratchDir dir;
  EXPECT_EQ(create_file_exclusive(dir.file("iv"), "first"), 1);
  EXPECT_EQ(create_file_exclusive(dir.file("iv"), "second"), 0);
  EXPECT_EQ(read_bytes(dir.file("iv")), "first");
  EXPECT_EQ(ExecShell("ls '" + dir.path() + "'"), "iv\n");
  EXPECT_EQ(create_file_exclusive(dir.file("missing/iv"), "x"), -1);
}

// Makes link() and linkat() fail with EPERM in this process from now on, as
// on a file system without hard links; false when the kernel refuses.
static bool refuse_hard_links() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_link, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_linkat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                               filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(Files, CreateFileExclusiveWithoutHardLinks) {
  // The file is then created exclusively at its path, still never through a
  // link, and the first writer's stays.
  ScratchDir dir;
  ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file("link").c_str()), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!refuse_hard_links()) end_child(99);
    int code = 0;
    if (create_file_exclusive(dir.file("iv"), "first", 0600) != 1) code |= 1;
    if (create_file_exclusive(dir.file("iv"), "second", 0600) != 0) code |= 2;
    if (create_file_exclusive(dir.file("link"), "planted", 0600) != 0) code |= 4;
    end_child(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "no seccomp filters here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_bytes(dir.file("iv")), "first");
  struct stat st;
  ASSERT_EQ(stat(dir.file("iv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(file_exists(dir.file("elsewhere")));
  EXPECT_EQ(ExecShell("ls '" + dir.path() + "'"), "iv\nlink\n");
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
      end_child(rc == 1 ? 1 : (rc == 0 ? 0 : 2));
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
