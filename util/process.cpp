#include "util/child_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/blocking.h"
#include "util/handles.h"
#include "util/util.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// posix_spawn's two attribute objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    if (ok_ && posix_spawnattr_init(&attr_) != 0) {
      posix_spawn_file_actions_destroy(&actions_);
      ok_ = false;
    }
  }
  ~SpawnSetup() {
    if (!ok_) return;
    posix_spawnattr_destroy(&attr_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input from /dev/null, standard output into out_fd; every other
  // descriptor of ours is close-on-exec.  Own process group, clean signals.
  bool prepare(int out_fd) {
    if (!ok_) return false;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // the interpreter ignores it; children must not
    sigaddset(&defaults, SIGXFSZ);
    return posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) ==
               0 &&
           posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO) == 0 &&
           posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                POSIX_SPAWN_SETSIGDEF) == 0 &&
           posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
           posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attr_, &defaults) == 0;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  bool ok_ = false;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// How the calling thread waits: by itself, in slices, inside a blocking
// section that it leaves between slices to ask the embedder whether to go
// on; or through the embedder's cooperative wait.
class Waiter {
 public:
  Waiter() : hooks_(blocking_hooks()) {
    cooperative_ = hooks_ != nullptr && hooks_->cooperative != nullptr && hooks_->wait != nullptr &&
                   hooks_->cooperative();
    if (!cooperative_) section_.emplace();
  }

  // 1 when fd is readable, 0 when ms (or a slice of it) passed first, -1 on
  // a failed or broken-off wait.
  int readable(int fd, int ms) {
    if (cooperative_) return cooperative_wait(fd, ms);
    struct pollfd p = {fd, POLLIN, 0};
    const int ready = poll(&p, 1, std::min(ms, kInterruptCheckMs));
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
    return interrupted() ? -1 : 0;
  }

  // False when the wait was broken off.
  bool pause(std::chrono::milliseconds ms) {
    if (cooperative_) return cooperative_wait(-1, static_cast<int>(ms.count())) >= 0;
    std::this_thread::sleep_for(ms);
    return !interrupted();
  }

  // True when the embedder broke a wait off.
  bool broken_off() const { return broken_off_; }

 private:
  int cooperative_wait(int fd, int ms) {
    const int ready = hooks_->wait(fd, ms);
    if (ready < 0) broken_off_ = true;
    return ready;
  }

  // Leaves the section for the embedder's answer.
  bool interrupted() {
    if (hooks_ == nullptr || hooks_->interrupted == nullptr) return false;
    section_.reset();
    broken_off_ = hooks_->interrupted();
    section_.emplace();
    return broken_off_;
  }

  const BlockingHooks* hooks_;
  bool cooperative_ = false;
  bool broken_off_ = false;
  std::optional<BlockingSection> section_;
};

// Reads fd until end of output or the deadline; true at end of output.
bool drain(int fd, Clock::time_point deadline, Waiter& waiter, const OutputSink& sink) {
  char buf[4096];
  for (;;) {
    const int left = ms_left(deadline);
    if (left == 0) return false;
    const int ready = waiter.readable(fd, left);
    if (ready < 0) return false;
    if (ready == 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      sink(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR && errno != EAGAIN) {
      return false;
    }
  }
}

// Reaps pid if it ends before the deadline; true when it was reaped (or
// someone else reaped it: no child of that id is left).
bool reap_until(pid_t pid, Clock::time_point deadline, Waiter& waiter) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (r < 0 && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    if (!waiter.pause(pause)) return false;
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

// A started child in a process group of its own.  Unless it was reaped, the
// whole group is killed and the child reaped when this goes away, also when
// the sink throws.  The group shares the child's id; its other members (a
// pipeline's commands) go with it.
class ChildGroup {
 public:
  explicit ChildGroup(pid_t pid) : pid_(pid) {}
  ~ChildGroup() {
    if (pid_ < 0) return;
    kill(-pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;
  void reaped() { pid_ = -1; }

 private:
  pid_t pid_;
};

}  // namespace

ChildOutcome run_shell_command(const std::string& command, int time_limit_ms,
                               const OutputSink& sink) {
  // A thread of cooperative tasks waits through their scheduler, so the
  // others run meanwhile; any other thread gives up what it holds for the
  // whole life of the child, but for the embedder's checks between slices.
  Waiter waiter;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(time_limit_ms);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return ChildOutcome::kNotStarted;
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);

  SpawnSetup setup;
  if (!setup.prepare(write_end.get())) return ChildOutcome::kNotStarted;
  char sh[] = "sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", setup.actions(), setup.attr(), argv, environ) != 0) {
    return ChildOutcome::kNotStarted;
  }
  write_end.reset();  // only the child writes now: its end of output is ours

  ChildGroup child(pid);
  bool finished = drain(read_end.get(), deadline, waiter, sink);
  read_end.reset();
  if (finished) finished = reap_until(pid, deadline, waiter);
  // The child's destructor ends the group.
  if (!finished) return waiter.broken_off() ? ChildOutcome::kInterrupted : ChildOutcome::kTimedOut;
  child.reaped();
  return ChildOutcome::kFinished;
}

ChildOutcome exec_command(const std::string& command, char* out, size_t out_size,
                          int time_limit_ms) {
  if (out == nullptr || out_size == 0) return ChildOutcome::kNotStarted;
  out[0] = '\0';
  // Refused rather than cut at the 102,400-byte command buffer: a shortened
  // command line could mean another command.
  if (strlen(command.c_str()) >= kCommandBufferSize) return ChildOutcome::kNotStarted;
  PieceCollector collector(out, out_size, kCommandReadPiece);
  const ChildOutcome outcome = run_shell_command(
      command, time_limit_ms, [&](const char* data, size_t size) { collector.feed(data, size); });
  // Output of a command that was killed is no answer.
  if (outcome != ChildOutcome::kFinished) collector.clear();
  return outcome;
}

bool ExecCmd(const std::string& command, char* out, size_t out_size) {
  exec_command(command, out, out_size, kChildTimeLimitMs);
  return true;
}

std::string ExecShell(const std::string& command) {
  std::string result;
  const ChildOutcome outcome =
      run_shell_command(command, kChildTimeLimitMs,
                        [&](const char* data, size_t size) { result.append(data, size); });
  if (outcome != ChildOutcome::kFinished) result.clear();
  return result;
}
