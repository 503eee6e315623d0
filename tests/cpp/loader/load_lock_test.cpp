#include "loader/load_lock.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "util/blocking.h"

namespace {

// Waits until n threads wait on locks (bounded, so a fault fails the test).
bool until_waiting(const LoadLocks& locks, size_t n) {
  for (int i = 0; i < 1000; ++i) {
    if (locks.waiting() == n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

FileStatus version(int64_t mtime) {
  FileStatus status;
  status.exists = status.regular = true;
  status.mtime = mtime;
  status.size = 100;
  return status;
}

std::atomic<int> sections{0};
int token;
const BlockingHooks kCounting = {[] {
                                   ++sections;
                                   return static_cast<void*>(&token);
                                 },
                                 [](void*) {}};

}  // namespace

TEST(LoadLocks, SameThreadReentersOtherPathsAreIndependent) {
  LoadLocks locks;
  {
    LoadLockGuard outer(locks, "/p/a.py");
    ASSERT_EQ(outer.state(), LoadLockState::kOwned);
    LoadLockGuard again(locks, "/p/a.py");
    EXPECT_EQ(again.state(), LoadLockState::kReentered);
    LoadLockGuard other(locks, "/p/b.py");
    EXPECT_EQ(other.state(), LoadLockState::kOwned);
    // Another thread takes a third path while both are held.
    auto third = std::async(std::launch::async, [&] {
      LoadLockGuard g(locks, "/p/c.py");
      return g.state() == LoadLockState::kOwned && !g.waited_for_load();
    });
    EXPECT_TRUE(third.get());
    EXPECT_EQ(locks.active(), 2u);
  }
  EXPECT_EQ(locks.active(), 0u);
}

TEST(LoadLocks, WaiterGetsTheOutcomeOfTheLoadItWaitedFor) {
  LoadLocks locks;
  set_blocking_hooks(&kCounting);
  sections = 0;
  std::atomic<bool> released{false};
  auto owner = std::make_unique<LoadLockGuard>(locks, "/p/a.py");
  EXPECT_EQ(sections.load(), 0);  // no section without a wait
  auto waiter = std::async(std::launch::async, [&] {
    LoadLockGuard g(locks, "/p/a.py");
    std::string same, changed;
    bool shared = g.shared_failure(version(7), same);
    bool shared_after_edit = g.shared_failure(version(8), changed);
    return g.state() == LoadLockState::kOwned && released.load() && g.waited_for_load() && shared &&
           same == "load error: boom" && !shared_after_edit;
  });
  ASSERT_TRUE(until_waiting(locks, 1));
  owner->set_failure(version(7), "load error: boom");
  released = true;
  owner.reset();
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(sections.load(), 1);  // the wait ran in a blocking section
  set_blocking_hooks(nullptr);

  // A load that ended well leaves nothing to share.
  owner = std::make_unique<LoadLockGuard>(locks, "/p/a.py");
  auto next = std::async(std::launch::async, [&] {
    LoadLockGuard g(locks, "/p/a.py");
    std::string text;
    return g.waited_for_load() && !g.shared_failure(version(7), text);
  });
  ASSERT_TRUE(until_waiting(locks, 1));
  owner.reset();
  EXPECT_TRUE(next.get());
  EXPECT_EQ(locks.active(), 0u);
}

TEST(LoadLocks, CycleOfWaitingThreadsIsRefusedNotHung) {
  LoadLocks locks;
  auto mine = std::make_unique<LoadLockGuard>(locks, "/p/x.py");
  std::promise<void> holds_y;
  std::promise<LoadLockState> asked_x;
  // The other thread holds y and waits for x, which this thread holds; a
  // third waits for y behind it.
  std::thread other([&] {
    LoadLockGuard y(locks, "/p/y.py");
    holds_y.set_value();
    LoadLockGuard x(locks, "/p/x.py");
    asked_x.set_value(x.state());
  });
  holds_y.get_future().wait();
  ASSERT_TRUE(until_waiting(locks, 1));
  std::thread third([&] { LoadLockGuard y(locks, "/p/y.py"); });
  ASSERT_TRUE(until_waiting(locks, 2));
  {
    // Waiting for y would wait for this thread itself, through the other.
    LoadLockGuard y(locks, "/p/y.py");
    EXPECT_EQ(y.state(), LoadLockState::kDeadlock);
  }
  auto state = asked_x.get_future();
  EXPECT_EQ(state.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  mine.reset();
  EXPECT_EQ(state.get(), LoadLockState::kOwned);
  other.join();
  third.join();
}
