#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>

#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "util/blocking.h"
#include "util/child_process.h"
#include "util/util.h"

TEST(ExecCmd, CollectsEveryLineWithItsNewline) {
  char out[256] = "junk";
  EXPECT_TRUE(ExecCmd("printf 'one\\ntwo\\n'", out, sizeof out));
  EXPECT_STREQ(out, "one\ntwo\n");
}

TEST(ExecCmd, MissingCommandStillTrue) {
  char out[256] = "junk";
  EXPECT_TRUE(ExecCmd("no-such-command-pl-test 2>/dev/null", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(ExecCmd("no-such-command-pl-test 2>&1", out, sizeof out));
  EXPECT_NE(std::string(out).find("not found"), std::string::npos);
}

TEST(ExecCmd, OutputAndCommandAreBounded) {
  char out[10];
  EXPECT_TRUE(ExecCmd("yes | head -c 100000", out, sizeof out));
  EXPECT_STREQ(out, "y\ny\ny\ny\ny");
  char big[64] = "junk";
  std::string huge = "echo " + std::string(kCommandBufferSize, 'x');
  EXPECT_TRUE(ExecCmd(huge, big, sizeof big));
  EXPECT_STREQ(big, "");
}

TEST(ExecShell, ExactBytes) {
  EXPECT_EQ(ExecShell("printf 'a\\000b\\n'"), std::string("a\0b\n", 4));
  EXPECT_EQ(ExecShell("true"), "");
}

TEST(ExecCmd, KeepsEachPieceUpToItsFirstNul) {
  char out[64];
  EXPECT_TRUE(ExecCmd("printf 'ab\\000cd\\nef\\n'", out, sizeof out));
  EXPECT_STREQ(out, "abef\n");
}

TEST(ExecCmd, ReadsOutputToItsEndWhenTheBufferIsFull) {
  // The marker appears only if the writer was not cut off by a broken pipe.
  ScratchDir dir;
  const std::string marker = dir.file("finished");
  char out[8];
  EXPECT_TRUE(ExecCmd("head -c 300000 /dev/zero | tr '\\000' x && touch '" + marker + "'", out,
                      sizeof out));
  EXPECT_STREQ(out, "xxxxxxx");
  EXPECT_TRUE(file_exists(marker));
}

namespace {

// A process that is gone or a zombie no longer runs.
bool process_runs(pid_t pid) {
  const std::string stat = read_bytes("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && stat.compare(close + 2, 1, "Z") != 0;
}

}  // namespace

TEST(ShellCommand, TimeLimitEndsTheWholeGroup) {
  ScratchDir dir;
  const std::string pids = dir.file("pids");
  std::string seen;
  // A pipeline member and a background job that keeps the output open.
  const ChildOutcome outcome =
      run_shell_command("sleep 30 & echo $! > '" + pids + "'; printf early; sleep 30 | cat", 300,
                        [&](const char* data, size_t size) { seen.append(data, size); });
  EXPECT_EQ(outcome, ChildOutcome::kTimedOut);
  EXPECT_EQ(seen, "early");
  const pid_t background = static_cast<pid_t>(atol(read_bytes(pids).c_str()));
  ASSERT_GT(background, 0);
  for (int i = 0; i < 100 && process_runs(background); ++i) usleep(10000);
  EXPECT_FALSE(process_runs(background));
}

TEST(ShellCommand, FinishedChildAndCleanSignals) {
  std::string seen;
  auto collect = [&](const char* data, size_t size) { seen.append(data, size); };
  // SIGPIPE is at its default in the child even where the parent ignores it,
  // and standard input is empty.
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(run_shell_command("yes | head -c 4; cat; grep SigIgn /proc/self/status", 5000, collect),
            ChildOutcome::kFinished);
  signal(SIGPIPE, SIG_DFL);
  ASSERT_EQ(seen.substr(0, 4), "y\ny\n");
  const unsigned long ignored = strtoul(seen.substr(seen.find(':') + 1).c_str(), nullptr, 16);
  EXPECT_EQ(ignored & (1ul << (SIGPIPE - 1)), 0ul) << seen;
}

namespace {

std::atomic<int> entered{0};
std::atomic<int> left{0};
std::chrono::steady_clock::time_point enter_time, leave_time;
int token = 0;

const BlockingHooks kCountingHooks = {[] {
                                        enter_time = std::chrono::steady_clock::now();
                                        ++entered;
                                        return static_cast<void*>(&token);
                                      },
                                      [](void* t) {
                                        if (t == &token) ++left;
                                        leave_time = std::chrono::steady_clock::now();
                                      }};

}  // namespace

TEST(ShellCommand, WholeChildLifeIsOneBlockingSection) {
  set_blocking_hooks(&kCountingHooks);
  const auto before = std::chrono::steady_clock::now();
  const std::string out = ExecShell("sleep 0.2; echo done");
  const auto after = std::chrono::steady_clock::now();
  set_blocking_hooks(nullptr);
  EXPECT_EQ(out, "done\n");
  EXPECT_EQ(entered.load(), 1);
  EXPECT_EQ(left.load(), 1);
  // The section opened before the child started and closed after it ended.
  EXPECT_GE(leave_time - enter_time, std::chrono::milliseconds(200));
  EXPECT_LE(before, enter_time);
  EXPECT_LE(leave_time, after);
  ExecShell("true");  // without hooks nothing is called
  EXPECT_EQ(entered.load(), 1);
}
