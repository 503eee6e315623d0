// What files and child processes come to when a call of the C library fails.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fail_call.h"
#include "test_support.h"
#include "util/blocking.h"
#include "util/child_process.h"
#include "util/small_file.h"
#include "util/util.h"

namespace {

std::string listing(const ScratchDir& dir) { return ExecShell("ls '" + dir.path() + "'"); }

ino_t inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int open_descriptors() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) ++count;
  if (d != nullptr) closedir(d);
  return count;
}

const char kStale[] = "cat.tmp.AbCdEfGhIjKlMn01";

// "old" at dir/cat, mode 0640, with a temporary left behind two hours ago.
void old_file(const ScratchDir& dir) {
  write_bytes(dir.file("cat"), "old");
  ASSERT_EQ(chmod(dir.file("cat").c_str(), 0640), 0);
  write_bytes(dir.file(kStale), "left over");
  struct timespec times[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file(kStale).c_str(), times, 0), 0);
}

}  // namespace

TEST(FailingCalls, ReadersAnswerNothingOrRetry) {
  ScratchDir dir;
  write_bytes(dir.file("f"), "content\n");
  std::string out = "junk";
  {
    FailCall fail({"read", EINTR, 0, 1});
    EXPECT_TRUE(file_get_contents(dir.file("f"), out));
    EXPECT_EQ(fail.failed(), 1);
  }
  EXPECT_EQ(out, "content\n");
  // A file larger than its buffer is read on after an interruption, and
  // random bytes are drawn again.
  write_bytes(dir.file("large"), std::string(3000, 'x'));
  SmallFile small;
  char drawn[17];
  {
    FailCall fail({"read", EINTR, 1, 1});
    FailCall no_entropy_yet({"getrandom", EINTR, 0, 1});
    EXPECT_TRUE(small.read(dir.file("large").c_str()));
    EXPECT_TRUE(secure_rand_string(drawn, 16));
    EXPECT_EQ(fail.failed() + no_entropy_yet.failed(), 2);
  }
  EXPECT_EQ(small.text(), std::string(3000, 'x'));
  EXPECT_EQ(strlen(drawn), 16u);
  for (const PlFault& f : {PlFault{"read", EIO}, PlFault{"fstat", EIO}}) {
    FailCall fail(f);
    out = "junk";
    EXPECT_FALSE(file_get_contents(dir.file("f"), out)) << f.call;
    EXPECT_EQ(out, "") << f.call;
    EXPECT_GT(fail.failed(), 0) << f.call;
  }
  char buf[16] = "junk";
  {
    FailCall fail({"fdopen", ENOMEM});
    EXPECT_FALSE(get_file(dir.file("f"), buf, sizeof buf));
    EXPECT_EQ(fail.failed(), 1);
  }
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(get_file(dir.file("f"), buf, 0));
  EXPECT_FALSE(get_file(dir.file("f"), nullptr, sizeof buf));
}

TEST(FailingCalls, ReplacementThatFailsKeepsTheOldFileAndLeavesNoTemporary) {
  const PlFault faults[] = {
      {"getrandom", EIO},                // no name can be drawn for the temporary
      {"open", EEXIST, 0, -1, ".tmp."},  // every name drawn is taken
      {"write", ENOSPC},
      {"fchmod", EPERM},
      {"fsync", EIO},
      {"close", EIO},
      {"rename", EXDEV},
  };
  for (const PlFault& f : faults) {
    ScratchDir dir;
    old_file(dir);
    bool replaced;
    int err;
    {
      FailCall fail(f);
      replaced = replace_file_atomic(dir.file("cat"), "new");
      err = errno;
      EXPECT_GT(fail.failed(), 0) << f.call;
    }
    EXPECT_FALSE(replaced) << f.call;
    EXPECT_EQ(err, f.err) << f.call;
    EXPECT_EQ(read_bytes(dir.file("cat")), "old") << f.call;
    EXPECT_EQ(listing(dir), std::string("cat\n") + kStale + "\n") << f.call;
  }
}

TEST(FailingCalls, ReplacementOutlivesFailuresAfterTheBytesAreSafe) {
  // An interrupted write is done again; an owner that cannot be given and a
  // clean-up that cannot look around change nothing but the clean-up.
  const struct {
    PlFault fault;
    bool stale_stays;
  } rows[] = {
      {{"write", EINTR, 0, 1}, false},
      {{"fchown", EPERM}, false},
      {{"opendir", EMFILE}, true},
      {{"fstatat", EIO, 0, -1, kStale}, true},
  };
  for (const auto& row : rows) {
    ScratchDir dir;
    old_file(dir);
    {
      FailCall fail(row.fault);
      EXPECT_TRUE(replace_file_atomic(dir.file("cat"), "new")) << row.fault.call;
      EXPECT_GT(fail.failed(), 0) << row.fault.call;
    }
    EXPECT_EQ(read_bytes(dir.file("cat")), "new") << row.fault.call;
    EXPECT_EQ(mode_of(dir.file("cat")), 0640u) << row.fault.call;
    EXPECT_EQ(file_exists(dir.file(kStale)), row.stale_stays) << row.fault.call;
  }
  // A path without a folder is replaced, and cleaned up after, in the
  // working directory.
  ScratchDir dir;
  old_file(dir);
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const bool replaced = replace_file_atomic("cat", "new");
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
  EXPECT_TRUE(replaced);
  EXPECT_EQ(listing(dir), "cat\n");
}

TEST(FailingCalls, FolderThatRefusesNewFilesIsWrittenInPlace) {
  // Where no temporary can be made (EACCES, EPERM), the regular file itself
  // is rewritten; each later step can still fail, with its error.
  const struct {
    int refusal;
    PlFault then;
    bool written;
  } rows[] = {
      {EACCES, {nullptr, 0}, true},       {EPERM, {nullptr, 0}, true},
      {EACCES, {"fstat", EIO}, false},    {EACCES, {"ftruncate", EIO}, false},
      {EACCES, {"write", ENOSPC}, false}, {EACCES, {"close", EIO}, false},
  };
  for (const auto& row : rows) {
    ScratchDir dir;
    old_file(dir);
    const ino_t inode = inode_of(dir.file("cat"));
    bool written;
    int err;
    {
      FailCall refuse({"open", row.refusal, 0, -1, ".tmp."});
      FailCall fail(row.then);
      written = replace_file(dir.file("cat"), "new");
      err = errno;
      EXPECT_GT(refuse.failed(), 0);
      EXPECT_TRUE(row.then.call == nullptr || fail.failed() > 0) << row.then.call;
    }
    EXPECT_EQ(written, row.written) << row.refusal << " " << row.then.call;
    EXPECT_EQ(inode_of(dir.file("cat")), inode);
    if (row.written) {
      EXPECT_EQ(read_bytes(dir.file("cat")), "new");
    } else {
      EXPECT_EQ(err, row.then.err) << row.then.call;
    }
  }
  // Only a regular file is written in place: a FIFO with a reader is not.
  ScratchDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const int reader = open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  {
    FailCall refuse({"open", EACCES, 0, -1, ".tmp."});
    EXPECT_FALSE(replace_file(dir.file("fifo"), "new"));
    EXPECT_EQ(errno, EINVAL);
  }
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);
  close(reader);
}

TEST(FailingCalls, ExclusiveCreateFailsWholeOrFindsTheFile) {
  // The first fault of a row fails the link; the second, the exclusive
  // create that stands in for it where the file system has no hard links.
  const struct {
    PlFault link;
    PlFault fallback;
    int result;
    int err;
  } rows[] = {
      {{"link", EIO}, {nullptr, 0}, -1, EIO},
      {{"link", ENOTSUP}, {nullptr, 0}, 1, 0},
      {{"link", ENOTSUP}, {"open", EACCES, 1}, -1, EACCES},
      {{"link", ENOTSUP}, {"write", ENOSPC, 1}, -1, ENOSPC},
      {{"link", ENOTSUP}, {"close", EIO, 1}, -1, EIO},
  };
  for (const auto& row : rows) {
    ScratchDir dir;
    int result;
    int err;
    {
      FailCall link(row.link);
      FailCall fallback(row.fallback);
      result = create_file_exclusive(dir.file("iv"), "first", 0600);
      err = errno;
      EXPECT_GT(link.failed(), 0);
      EXPECT_TRUE(row.fallback.call == nullptr || fallback.failed() > 0) << row.fallback.call;
    }
    EXPECT_EQ(result, row.result) << row.link.err << " " << row.fallback.call;
    if (result == 1) {
      EXPECT_EQ(read_bytes(dir.file("iv")), "first");
      EXPECT_EQ(mode_of(dir.file("iv")), 0600u);
      EXPECT_EQ(listing(dir), "iv\n");
    } else {
      EXPECT_EQ(err, row.err) << row.fallback.call;
      EXPECT_EQ(listing(dir), "") << row.fallback.call;
    }
  }
  // No temporary can be made: the file is found when it is there.
  ScratchDir dir;
  FailCall refuse({"open", EACCES, 0, -1, ".tmp."});
  EXPECT_EQ(create_file_exclusive(dir.file("iv"), "x"), -1);
  EXPECT_EQ(errno, EACCES);
  write_bytes(dir.file("iv"), "kept");
  EXPECT_EQ(create_file_exclusive(dir.file("iv"), "x"), 0);
  EXPECT_EQ(read_bytes(dir.file("iv")), "kept");
}

TEST(FailingCalls, ChildThatCannotBeStartedIsNotStarted) {
  const PlFault faults[] = {
      {"pipe2", EMFILE},
      {"posix_spawn_file_actions_init", ENOMEM},
      {"posix_spawnattr_init", ENOMEM},
      {"posix_spawn_file_actions_addopen", ENOMEM},
      {"posix_spawn_file_actions_adddup2", ENOMEM},
      {"posix_spawnattr_setflags", EINVAL},
      {"posix_spawnattr_setpgroup", EINVAL},
      {"posix_spawnattr_setsigmask", EINVAL},
      {"posix_spawnattr_setsigdefault", EINVAL},
      {"posix_spawn", EAGAIN},
  };
  const int descriptors = open_descriptors();
  for (const PlFault& f : faults) {
    char out[16] = "junk";
    FailCall fail(f);
    EXPECT_EQ(exec_command("echo hi", out, sizeof out, 5000), ChildOutcome::kNotStarted) << f.call;
    EXPECT_STREQ(out, "") << f.call;
    EXPECT_EQ(fail.failed(), 1) << f.call;
  }
  EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(FailingCalls, FailedWaitEndsTheChildAnInterruptedOneGoesOn) {
  const struct {
    PlFault fault;
    ChildOutcome outcome;
  } rows[] = {
      {{"poll", EINTR, 0, 1}, ChildOutcome::kFinished},
      {{"read", EINTR, 0, 1}, ChildOutcome::kFinished},
      {{"read", EAGAIN, 0, 1}, ChildOutcome::kFinished},
      {{"waitpid", EINTR, 0, 1}, ChildOutcome::kFinished},
      {{"waitpid", ECHILD}, ChildOutcome::kFinished},  // reaped by someone else
      {{"poll", ENOMEM}, ChildOutcome::kTimedOut},
      {{"read", EIO}, ChildOutcome::kTimedOut},
      {{"waitpid", EINVAL, 0, 1}, ChildOutcome::kTimedOut},
  };
  for (const auto& row : rows) {
    char out[16] = "junk";
    FailCall fail(row.fault);
    EXPECT_EQ(exec_command("echo hi", out, sizeof out, 5000), row.outcome) << row.fault.call;
    EXPECT_STREQ(out, row.outcome == ChildOutcome::kFinished ? "hi\n" : "") << row.fault.call;
    EXPECT_GT(fail.failed(), 0) << row.fault.call;
  }
  {
    // Output read before a wait failed is no answer either.
    FailCall fail({"poll", ENOMEM, 1});
    EXPECT_EQ(ExecShell("echo early; sleep 0.2; echo late"), "");
    EXPECT_EQ(fail.failed(), 1);
  }
  {
    // Ending a child past its time: the reap goes on after an interruption.
    FailCall fail({"waitpid", EINTR, 0, 1});
    EXPECT_EQ(run_shell_command("sleep 5", 100, [](const char*, size_t) {}),
              ChildOutcome::kTimedOut);
    EXPECT_EQ(fail.failed(), 1);
  }
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
  EXPECT_EQ(errno, ECHILD);
}

namespace {

int broken_off_pauses(int fd, int timeout_ms) {
  if (fd < 0) return -1;
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0 ? 1 : 0;
}
int polled(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(fd < 0 ? nullptr : &p, fd < 0 ? 0 : 1, timeout_ms) > 0 ? 1 : 0;
}
void* nothing_to_give_up() { return nullptr; }
bool yes() { return true; }
bool no() { return false; }

int checks = 0;
bool on_third_check() { return ++checks == 3; }

}  // namespace

TEST(FailingCalls, BrokenOffWaitsEndTheChildAtOnce) {
  // Hooks that are not complete, or say the thread waits by itself, leave
  // the wait to poll; a cooperative wait broken off while the child is
  // being reaped ends it, while pauses whose time merely passed go on.
  const BlockingHooks partial = {nothing_to_give_up, nullptr, yes, nullptr, nullptr};
  const BlockingHooks own = {nothing_to_give_up, nullptr, no, broken_off_pauses, nullptr};
  const BlockingHooks cooperative = {nothing_to_give_up, nullptr, yes, broken_off_pauses, nullptr};
  const BlockingHooks pausing = {nothing_to_give_up, nullptr, yes, polled, nullptr};
  const BlockingHooks* before = blocking_hooks();
  ScratchDir dir;
  const std::string command = "exec >&-; sleep 0.3; touch '" + dir.file("lived") + "'";
  std::vector<ChildOutcome> outcomes;
  for (const BlockingHooks* hooks : {&partial, &own, &pausing, &cooperative}) {
    set_blocking_hooks(hooks);
    outcomes.push_back(run_shell_command(command, 5000, [](const char*, size_t) {}));
  }
  EXPECT_EQ(outcomes,
            (std::vector<ChildOutcome>{ChildOutcome::kFinished, ChildOutcome::kFinished,
                                       ChildOutcome::kFinished, ChildOutcome::kInterrupted}));
  ASSERT_EQ(unlink(dir.file("lived").c_str()), 0);
  usleep(500 * 1000);
  EXPECT_FALSE(file_exists(dir.file("lived"))) << "the child ran on";

  // A thread waiting by itself asks between slices whether to go on: the
  // third answer ends the wait some 0.1 s in, and with it the child's whole
  // process group, the sleeper it left in the background too.
  const BlockingHooks asking = {nothing_to_give_up, nullptr, no, nullptr, on_third_check};
  set_blocking_hooks(&asking);
  std::string out;
  const auto started = std::chrono::steady_clock::now();
  const ChildOutcome outcome =
      run_shell_command("sleep 30 & echo $!; sleep 30", 5000,
                        [&](const char* data, size_t size) { out.append(data, size); });
  const auto took = std::chrono::steady_clock::now() - started;
  set_blocking_hooks(before);
  EXPECT_EQ(outcome, ChildOutcome::kInterrupted);
  EXPECT_EQ(checks, 3);
  EXPECT_LT(took, std::chrono::milliseconds(400));
  const pid_t sleeper = static_cast<pid_t>(atoi(out.c_str()));
  ASSERT_GT(sleeper, 0) << out;
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i, usleep(10 * 1000)) {
    const std::string stat = read_bytes("/proc/" + std::to_string(sleeper) + "/stat");
    const size_t end = stat.rfind(')');
    gone = end == std::string::npos || stat.compare(end + 2, 1, "Z") == 0;
  }
  EXPECT_TRUE(gone) << "the background sleeper " << sleeper << " runs on";
}
