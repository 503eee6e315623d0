// Loads of one source file by several callers at once: one caller reads,
// compiles and executes the file while the others wait for its outcome,
// instead of being served a module whose code is still running.  Loads of
// different files never wait for each other.
//
// The wait is the interpreter's own: the lock of a path is the import
// system's per-module lock for the module of that name (a source module is
// named by its path), taken and released through the interpreter.  So a
// wait follows whatever the host runs on, as an import does: threads, or
// greenlets on one thread when the host has patched the thread module (each
// greenlet is then an owner of its own and waits cooperatively).  Signal
// handlers run while a thread waits, and an exception they raise ends the
// wait.  A wait that would close a cycle of callers waiting for each other,
// through these loads, imports or both, is refused as an import refuses it.
//
// Requires the interpreter lock; the bookkeeping below is guarded by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loader/py_ref.h"
#include "util/util.h"

// What acquiring a path's lock gave.
enum class LoadLockState {
  kOwned,        // this caller holds the lock and loads the file
  kReentered,    // this caller is already loading it: the file's own code asked for it
  kDeadlock,     // waiting would have closed a cycle of waiting callers
  kInterrupted,  // the wait ended in an exception (a signal handler's): it is pending
};

struct LoadRecord;

// Holds one path's lock from acquisition to destruction.
class LoadLockGuard {
 public:
  explicit LoadLockGuard(const std::string& path);
  ~LoadLockGuard();
  LoadLockGuard(const LoadLockGuard&) = delete;
  LoadLockGuard& operator=(const LoadLockGuard&) = delete;

  // True while some caller loads the file at path or waits to: a module
  // found for it in sys.modules may be half-executed.
  static bool busy(const std::string& path);

  // For a child process just forked, where the callers of the parent's other
  // threads no longer run (and greenlets may never be resumed): every load
  // under way or waited for by any caller but the forking one is forgotten,
  // and so is the import system's lock of its path, so the child's next
  // caller of such a path takes a new lock and loads the file afresh.  The
  // guards of callers that do resume keep the records they hold.  Returns
  // the paths whose loads were under way: their modules are half-executed.
  static std::vector<std::string> forget_others_after_fork();

  LoadLockState state() const { return state_; }
  // True when another caller's load of the path ended while this one waited.
  bool waited_for_load() const { return waited_for_load_; }
  // When that load failed on the file as it still is (now: its stamp as
  // taken after the wait): the error text, which this caller answers with
  // too, without running the file again (and without recording a load of
  // its own for the callers still waiting).
  bool shared_failure(const FileStamp& now, std::string& text);
  // Marks this caller's load as failed on the file of that stamp, with that
  // error text, for the callers waiting on it.  A load not marked (it gave a
  // module, or refused the file before reading it) makes the waiters look at
  // the file themselves.
  void set_failure(const FileStamp& stamp, const std::string& text);

 private:
  std::string path_;
  LoadRecord* record_ = nullptr;
  PyRef lock_;  // the module lock while this caller holds it
  LoadLockState state_ = LoadLockState::kOwned;
  bool waited_for_load_ = false;
  bool answered_from_record_ = false;
  bool failed_ = false;
  std::string failure_;
  FileStamp failure_stamp_;
};
