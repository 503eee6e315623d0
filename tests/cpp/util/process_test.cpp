#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include <sys/wait.h>

#include "test_support.h"
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

TEST(ExecCommand, CommandPastItsTimeLimitIsEndedWithoutOutput) {
  char out[64] = "junk";
  EXPECT_EQ(exec_command("echo early; sleep 5", out, sizeof out, 300), ChildOutcome::kTimedOut);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(exec_command("echo done", out, sizeof out, 5000), ChildOutcome::kFinished);
  EXPECT_STREQ(out, "done\n");
}

TEST(ExecCmd, NulEndsOnlyThePieceItIsIn) {
  // Output is kept in the 1023-byte pieces fgets reads: a NUL ends what is
  // kept of its own piece only.  The long line's first piece is 'a', a NUL
  // and 1021 x; its second piece "yz" is kept.
  char out[64];
  EXPECT_TRUE(ExecCmd(
      "printf 'a\\000'; head -c 1021 /dev/zero | tr '\\000' x; printf 'yz\\nc\\000d\\ne\\n'", out,
      sizeof out));
  EXPECT_STREQ(out, "ayz\nce\n");
}

TEST(RunShellCommand, ChildrenStartWithSigpipeAtItsDefault) {
  // The interpreter ignores SIGPIPE; a shell that starts with it ignored
  // cannot take it back, and a pipeline's writers would never end.
  struct sigaction ignore = {}, saved = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  const std::string out = ExecShell("kill -PIPE $$; echo survived");
  sigaction(SIGPIPE, &saved, nullptr);
  EXPECT_EQ(out, "");
}

TEST(RunShellCommand, ChildThatClosesItsOutputButRunsOnIsEnded) {
  ScratchDir dir;
  const std::string pid_file = dir.file("pid");
  const ChildOutcome outcome = run_shell_command(
      "echo $$ > '" + pid_file + "'; exec >&-; exec sleep 30", 300, [](const char*, size_t) {});
  const pid_t pid = static_cast<pid_t>(atoi(read_bytes(pid_file).c_str()));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(outcome, ChildOutcome::kTimedOut);
  if (kill(pid, 0) == 0) {
    ADD_FAILURE() << "the child still runs";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

TEST(ExecShell, ExactBytes) {
  EXPECT_EQ(ExecShell("printf 'a\\000b\\n'"), std::string("a\0b\n", 4));
  EXPECT_EQ(ExecShell("true"), "");
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
