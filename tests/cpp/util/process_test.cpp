#include <gtest/gtest.h>

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
