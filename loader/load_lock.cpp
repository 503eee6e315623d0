#include "loader/load_lock.h"

#include <unordered_map>
#include <utility>
#include <vector>

// What is known of the loads of one path while any caller holds its lock or
// waits for it.
struct LoadRecord {
  unsigned long long owner = 0;  // identity of the caller loading it, 0: none
  bool loading = false;
  unsigned users = 0;  // callers holding the lock or waiting for it
  uint64_t loads_ended = 0;
  bool last_failed = false;
  std::string last_failure;
  FileStamp last_stamp;
  bool forgotten = false;  // taken out of the table in a forked child
};

namespace {

// Never destroyed: callers may still wait while the process ends.  A record
// lives while a caller uses it, at the same address whatever else is
// inserted; one forgotten after a fork lives on outside the table for the
// callers that still hold it.
std::unordered_map<std::string, LoadRecord*>& records() {
  static auto* map = new std::unordered_map<std::string, LoadRecord*>;
  return *map;
}

// A module of the interpreter kept for the life of the process; null (no
// error pending) when it cannot be had.
PyObject* kept_module(PyObject*& slot, const char* name) {
  if (slot == nullptr) {
    slot = PyImport_ImportModule(name);
    if (slot == nullptr) PyErr_Clear();
  }
  return slot;
}

PyObject* thread_module() {
  static PyObject* slot = nullptr;
  return kept_module(slot, "_thread");
}

// The import system's own module ("importlib._bootstrap").
PyObject* import_bootstrap() {
  static PyObject* slot = nullptr;
  return kept_module(slot, "_frozen_importlib");
}

// The caller's identity as the thread module tells it at this moment: a
// thread's, or a greenlet's where the host patched the module.  0 when it
// cannot be had.
unsigned long long caller_identity() {
  PyObject* thread = thread_module();
  if (thread == nullptr) return 0;
  PyRef ident = PyRef::steal(PyObject_CallMethod(thread, "get_ident", nullptr));
  const unsigned long long id = ident ? PyLong_AsUnsignedLongLongMask(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return id;
}

// The import system's lock for the module named path; null, with nothing
// pending, when the interpreter offers none (the load then goes unlocked).
PyRef module_lock(const std::string& path) {
  PyObject* bootstrap = import_bootstrap();
  if (bootstrap == nullptr) return PyRef();
  PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(path.data(), path.size()));
  PyRef lock =
      name ? PyRef::steal(PyObject_CallMethod(bootstrap, "_get_module_lock", "O", name.get()))
           : PyRef();
  if (!lock) PyErr_Clear();
  return lock;
}

// True when the pending error is the import system's refusal of a wait that
// would close a cycle; the error stays pending.  (No interpreter call may run
// with an error pending: the error is taken out while the class is found.)
bool deadlock_pending() {
  PyObject* bootstrap = import_bootstrap();
  if (bootstrap == nullptr) return false;
  PyObject* pending = PyErr_GetRaisedException();
  PyRef refusal = PyRef::steal(PyObject_GetAttrString(bootstrap, "_DeadlockError"));
  const bool matches = refusal && PyErr_GivenExceptionMatches(pending, refusal.get()) != 0;
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
  return matches;
}

// Whether the lock's owner is the caller of identity me (the lock records
// its owner by the same identity).  Leaves any pending error as it was.
bool lock_owned_by(PyObject* lock, unsigned long long me) {
  PyObject* pending = PyErr_GetRaisedException();
  PyRef owner = PyRef::steal(PyObject_GetAttrString(lock, "owner"));
  bool mine = false;
  if (owner && owner.get() != Py_None) {
    mine = me != 0 && PyLong_AsUnsignedLongLongMask(owner.get()) == me;
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
  return mine;
}

// Releases a lock the caller holds, leaving any pending error as it was.  An
// exception raised on the way (a signal handler's) is dropped; the release
// is tried once more if it left the lock held.
void release_lock(PyObject* lock, unsigned long long me) {
  PyObject* pending = PyErr_GetRaisedException();
  for (int attempt = 0; attempt < 2; ++attempt) {
    PyRef done = PyRef::steal(PyObject_CallMethod(lock, "release", nullptr));
    if (done) break;
    PyErr_Clear();
    if (!lock_owned_by(lock, me)) break;
  }
  PyErr_SetRaisedException(pending);
}

}  // namespace

bool LoadLockGuard::busy(const std::string& path) {
  const auto& all = records();
  return !all.empty() && all.count(path) != 0;
}

LoadLockGuard::LoadLockGuard(const std::string& path) : path_(path) {
  const unsigned long long me = caller_identity();
  LoadRecord*& slot = records()[path_];
  if (slot == nullptr) slot = new LoadRecord;
  LoadRecord& record = *slot;
  if (record.loading && me != 0 && record.owner == me) {
    // The file's own code (or code it called) asks for the file.
    state_ = LoadLockState::kReentered;
    return;
  }
  ++record.users;  // keeps the record while this caller waits
  record_ = &record;
  const uint64_t ended_before = record.loads_ended;
  PyRef lock = module_lock(path_);
  if (lock) {
    PyRef got = PyRef::steal(PyObject_CallMethod(lock.get(), "acquire", nullptr));
    if (!got) {
      if (deadlock_pending()) {
        PyErr_Clear();
        state_ = LoadLockState::kDeadlock;
        return;
      }
      // A signal handler raised while this caller waited; it may have done
      // so after the lock was taken.
      if (lock_owned_by(lock.get(), me)) release_lock(lock.get(), me);
      state_ = LoadLockState::kInterrupted;
      return;
    }
    lock_ = std::move(lock);
  }
  record.loading = true;
  record.owner = me;
  waited_for_load_ = record.loads_ended != ended_before;
}

LoadLockGuard::~LoadLockGuard() {
  if (record_ == nullptr) return;
  LoadRecord& record = *record_;
  if (state_ == LoadLockState::kOwned) {
    const unsigned long long me = record.owner;
    record.loading = false;
    record.owner = 0;
    if (!answered_from_record_) {
      ++record.loads_ended;
      record.last_failed = failed_;
      record.last_failure = std::move(failure_);
      record.last_stamp = failure_stamp_;
    }
    if (lock_) release_lock(lock_.get(), me);
  }
  if (--record.users != 0) return;
  if (!record.forgotten) records().erase(path_);
  delete record_;
}

std::vector<std::string> LoadLockGuard::forget_others_after_fork() {
  std::vector<std::string> half_run;
  const unsigned long long me = caller_identity();
  PyObject* bootstrap = import_bootstrap();
  PyRef locks = bootstrap != nullptr
                    ? PyRef::steal(PyObject_GetAttrString(bootstrap, "_module_locks"))
                    : PyRef();
  if (!locks) PyErr_Clear();
  auto& all = records();
  for (auto it = all.begin(); it != all.end();) {
    LoadRecord& record = *it->second;
    if (record.loading && me != 0 && record.owner == me) {
      ++it;  // the forking caller's own load goes on
      continue;
    }
    if (record.loading) half_run.push_back(it->first);
    // The lock may be held, or waited for, by callers that no longer exist
    // here: the next caller gets a new one.
    if (locks && PyDict_Check(locks.get())) {
      PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(it->first.data(), it->first.size()));
      if (!name || PyDict_DelItem(locks.get(), name.get()) != 0) PyErr_Clear();
    }
    record.forgotten = true;
    it = all.erase(it);
  }
  return half_run;
}

bool LoadLockGuard::shared_failure(const FileStamp& now, std::string& text) {
  if (!waited_for_load_ || record_ == nullptr || !record_->last_failed) return false;
  // A file changed since that load is loaded afresh.
  if (now != record_->last_stamp) return false;
  text = record_->last_failure;
  answered_from_record_ = true;
  return true;
}

void LoadLockGuard::set_failure(const FileStamp& stamp, const std::string& text) {
  failed_ = true;
  failure_ = text;
  failure_stamp_ = stamp;
}
