// A stretch of work that waits on something outside the calling thread (a
// child process), during which the thread should give up whatever other
// threads may need from it.  util/ knows nothing of the interpreter: whoever
// embeds it installs hooks, and every section on every thread calls enter()
// at its start and leave(token) at its end.  Without hooks a section does
// nothing.
//
// Some embedders run cooperative tasks on one thread (greenlets): giving up
// the thread's lock does not let those run, only waiting through their own
// scheduler does.  For such a thread, cooperative() says so and a waiter
// calls wait() for each wait instead of blocking inside a section.
//
// A long wait inside a section is cut into slices of kInterruptCheckMs at
// most; between two slices the waiter leaves the section and asks
// interrupted() whether the embedder wants the wait ended.
#pragma once

constexpr int kInterruptCheckMs = 50;

struct BlockingHooks {
  // Returns a token for leave(), or null when there was nothing to give up
  // (leave is then not called).
  void* (*enter)();
  void (*leave)(void* token);
  // Both optional (null).  True when the calling thread's waits must go
  // through wait().
  bool (*cooperative)();
  // Waits until fd is readable or timeout_ms passes (fd < 0: the time
  // only), letting the embedder's other tasks run.  1 readable, 0 the time
  // passed, -1 the wait was broken off (the task is being stopped, and the
  // embedder keeps the reason): the waiter gives up.
  int (*wait)(int fd, int timeout_ms);
  // Optional.  Called outside any section, between the slices of a wait
  // that is not cooperative: true when the embedder wants the wait broken
  // off (it keeps the reason).
  bool (*interrupted)();
};

// Installs hooks, which must live for the rest of the process (a static
// object); null removes them.
void set_blocking_hooks(const BlockingHooks* hooks) noexcept;
// The hooks installed, or null.
const BlockingHooks* blocking_hooks() noexcept;

class BlockingSection {
 public:
  BlockingSection() noexcept;
  ~BlockingSection();
  BlockingSection(const BlockingSection&) = delete;
  BlockingSection& operator=(const BlockingSection&) = delete;

 private:
  const BlockingHooks* hooks_;
  void* token_;
};
