// Running a shell command as a child process with a time limit.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Every child process of the module is ended when it runs longer than this.
constexpr int kChildTimeLimitMs = 5000;

enum class ChildOutcome {
  kNotStarted,   // no pipe or no process could be made
  kFinished,     // the output was read to its end and the child has ended
  kTimedOut,     // the time limit passed first: the child's group was killed
  kInterrupted,  // the embedder broke the wait off (util/blocking.h): the
                 // child's group was killed; the embedder keeps the reason
};

// Receives the child's standard output as it arrives.  It runs inside the
// blocking section, so it must not touch anything that section gives up.
using OutputSink = std::function<void(const char* data, size_t size)>;

// Runs command (up to its first NUL) under /bin/sh -c in a process group of
// its own, with standard input from /dev/null, standard output through a
// pipe into sink and standard error where the process's own goes; SIGPIPE
// and SIGXFSZ are back at their defaults and no signal is blocked in it.
// The output is read to its end, however much of it the caller keeps, so
// the child never dies of a broken pipe.  When the time limit (counted from
// the start) passes before the output ended and the child exited, the whole
// process group is killed.  The child is always reaped before returning.
// The whole life of the child is one BlockingSection (util/blocking.h),
// left every kInterruptCheckMs to ask the embedder whether to go on, except
// on a thread whose embedder waits cooperatively: there each wait goes
// through the embedder's wait hook.  A wait the embedder breaks off ends the
// child as the time limit does, at once.
ChildOutcome run_shell_command(const std::string& command, int time_limit_ms,
                               const OutputSink& sink);

// What reading output in fgets() pieces of piece_size bytes keeps: each piece
// (at most piece_size - 1 bytes, ending after a newline) up to its first NUL,
// appended to a buffer of out_size bytes (at least 1) that stays terminated;
// what does not fit is dropped.
class PieceCollector {
 public:
  PieceCollector(char* out, size_t out_size, size_t piece_size)
      : out_(out), room_(out_size - 1), piece_limit_(piece_size - 1) {
    out_[0] = '\0';
  }
  void feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == '\0') cut_ = true;
      if (!cut_ && used_ < room_) out_[used_++] = c;
      if (c == '\n' || ++in_piece_ == piece_limit_) {
        in_piece_ = 0;
        cut_ = false;
      }
    }
    out_[used_] = '\0';
  }
  void clear() {
    used_ = 0;
    out_[0] = '\0';
  }

 private:
  char* out_;
  size_t room_;
  size_t piece_limit_;
  size_t used_ = 0;
  size_t in_piece_ = 0;
  bool cut_ = false;
};

// ExecCmd with a time limit of the caller's and the outcome: out (out_size
// bytes, terminator included) is empty unless the command finished in time.
// A command of kCommandBufferSize bytes or more is not started.
ChildOutcome exec_command(const std::string& command, char* out, size_t out_size,
                          int time_limit_ms);
