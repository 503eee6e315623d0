#include "loader/load_lock.h"

#include <utility>

#include "util/blocking.h"

LoadLockGuard::LoadLockGuard(LoadLocks& locks, const std::string& path)
    : locks_(locks), path_(path), state_(LoadLockState::kOwned) {
  const std::thread::id me = std::this_thread::get_id();
  uint64_t ended_before = 0;
  {
    std::lock_guard<std::mutex> hold(locks_.mu_);
    LoadLocks::Entry& entry = locks_.entries_[path_];
    if (entry.owner == std::thread::id()) {
      entry.owner = me;
      return;
    }
    if (entry.owner == me) {
      state_ = LoadLockState::kReentered;
      return;
    }
    if (locks_.would_deadlock(path_, me)) {
      state_ = LoadLockState::kDeadlock;
      return;
    }
    locks_.waiting_[me] = path_;
    ++entry.waiters;  // keeps the entry while this thread waits
    ended_before = entry.loads_ended;
  }
  // The section ends (the embedder takes back what it gave up) only after
  // the mutex is let go, so no thread ever holds the mutex while waiting
  // for the embedder.
  BlockingSection section;
  std::unique_lock<std::mutex> hold(locks_.mu_);
  LoadLocks::Entry& entry = locks_.entries_[path_];
  locks_.released_.wait(hold, [&] { return entry.owner == std::thread::id(); });
  entry.owner = me;
  --entry.waiters;
  locks_.waiting_.erase(me);
  waited_for_load_ = entry.loads_ended != ended_before;
  if (waited_for_load_ && entry.last_failed) {
    // Now the owner, so nothing may escape: without a copy of the text this
    // thread simply loads the file itself.
    try {
      shared_failure_ = entry.last_failure;
      shared_status_ = entry.last_status;
      has_shared_failure_ = true;
    } catch (...) {
    }
  }
}

LoadLockGuard::~LoadLockGuard() {
  if (state_ != LoadLockState::kOwned) return;
  {
    std::lock_guard<std::mutex> hold(locks_.mu_);
    auto it = locks_.entries_.find(path_);
    if (it == locks_.entries_.end()) return;
    LoadLocks::Entry& entry = it->second;
    if (entry.waiters == 0) {
      locks_.entries_.erase(it);
      return;
    }
    entry.owner = std::thread::id();
    ++entry.loads_ended;
    entry.last_failed = has_own_failure_;
    entry.last_failure = std::move(own_failure_);
    entry.last_status = own_status_;
  }
  locks_.released_.notify_all();
}

bool LoadLockGuard::shared_failure(const FileStatus& now, std::string& text) const {
  if (!has_shared_failure_) return false;
  // A file changed since that load is loaded afresh.
  if (now.exists != shared_status_.exists || now.mtime != shared_status_.mtime ||
      now.size != shared_status_.size) {
    return false;
  }
  text = shared_failure_;
  return true;
}

void LoadLockGuard::set_failure(const FileStatus& status, const std::string& text) {
  has_own_failure_ = true;
  own_failure_ = text;
  own_status_ = status;
}

bool LoadLocks::would_deadlock(const std::string& path, std::thread::id me) const {
  // Every waiting thread waits for one path, so the owners and the paths
  // they wait for form a chain; it closes into a cycle exactly when it leads
  // back to this thread.  It has at most one step per waiting thread.
  const std::string* target = &path;
  for (size_t step = 0; step <= waiting_.size(); ++step) {
    auto entry = entries_.find(*target);
    if (entry == entries_.end() || entry->second.owner == std::thread::id()) return false;
    if (entry->second.owner == me) return true;
    auto next = waiting_.find(entry->second.owner);
    if (next == waiting_.end()) return false;
    target = &next->second;
  }
  return false;
}
