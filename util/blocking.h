// A stretch of work that waits on something outside the calling thread (a
// child process, a lock held by another thread), during which the thread
// should give up whatever other threads may need from it.  util/ knows
// nothing of the interpreter: whoever embeds it installs a pair of hooks,
// and every section on every thread calls enter() at its start and
// leave(token) at its end.  Without hooks a section does nothing.
#pragma once

struct BlockingHooks {
  // Returns a token for leave(), or null when there was nothing to give up
  // (leave is then not called).
  void* (*enter)();
  void (*leave)(void* token);
};

// Installs hooks, which must live for the rest of the process (a static
// object); null removes them.
void set_blocking_hooks(const BlockingHooks* hooks) noexcept;

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
