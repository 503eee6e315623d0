// Per-file locks of the source loader: one thread at a time reads, compiles
// and executes a given file, and the others wait for its outcome instead of
// being served a module whose code is still running.  Loads of different
// files never wait for each other.
//
// Modelled on the interpreter's own per-module import locks: each path has
// an owner thread and a count of waiters, a thread asking again for a path
// it already owns is told so instead of waiting for itself, and a wait that
// would close a cycle of threads waiting for each other's files is refused
// instead of hanging.  Waiting happens inside a BlockingSection, so the
// embedder's hooks give up the interpreter lock meanwhile.  Plain C++.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "util/util.h"

class LoadLocks;

// What acquiring a path's lock gave.
enum class LoadLockState {
  kOwned,      // this thread holds the lock and loads the file
  kReentered,  // this thread already holds it: the file's own code asked for it
  kDeadlock,   // waiting would have closed a cycle of waiting threads
};

// Holds one path's lock from acquisition to destruction.
class LoadLockGuard {
 public:
  LoadLockGuard(LoadLocks& locks, const std::string& path);
  ~LoadLockGuard();
  LoadLockGuard(const LoadLockGuard&) = delete;
  LoadLockGuard& operator=(const LoadLockGuard&) = delete;

  LoadLockState state() const { return state_; }
  // True when another thread's load of the path ended while this one waited.
  bool waited_for_load() const { return waited_for_load_; }
  // When that load failed on the file as it still is (now: its status as
  // taken after the wait): the error text, which this caller answers with
  // too, without running the file again.
  bool shared_failure(const FileStatus& now, std::string& text) const;
  // Marks this thread's load as failed on the file of that status, with
  // that error text, for the threads waiting on it.  A load not marked
  // (it gave a module, or refused the file before reading it) makes the
  // waiters look at the file themselves.
  void set_failure(const FileStatus& status, const std::string& text);

 private:
  LoadLocks& locks_;
  std::string path_;
  LoadLockState state_;
  bool waited_for_load_ = false;
  bool has_shared_failure_ = false;
  std::string shared_failure_;
  FileStatus shared_status_;
  bool has_own_failure_ = false;
  std::string own_failure_;
  FileStatus own_status_;
};

class LoadLocks {
 public:
  LoadLocks() = default;
  LoadLocks(const LoadLocks&) = delete;
  LoadLocks& operator=(const LoadLocks&) = delete;

 private:
  friend class LoadLockGuard;
  struct Entry {
    std::thread::id owner;  // default: nobody
    unsigned waiters = 0;
    uint64_t loads_ended = 0;
    bool last_failed = false;
    std::string last_failure;
    FileStatus last_status;
  };

  bool would_deadlock(const std::string& path, std::thread::id me) const;

  mutable std::mutex mu_;
  std::condition_variable released_;
  std::map<std::string, Entry> entries_;
  // The path each waiting thread waits for.
  std::map<std::thread::id, std::string> waiting_;
};
