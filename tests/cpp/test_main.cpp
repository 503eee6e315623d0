// The test binary's main: GoogleTest with a watchdog that ends the run when
// one test takes longer than kTestTimeLimit, naming that test, so a hanging
// test fails the suite instead of stalling it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr std::chrono::seconds kTestTimeLimit{45};

class Watchdog : public ::testing::EmptyTestEventListener {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void OnTestStart(const ::testing::TestInfo& info) override {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::string(info.test_suite_name()) + "." + info.name();
    deadline_ = Clock::now() + kTestTimeLimit;
    armed_ = true;
    wake_.notify_all();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (!armed_) {
        wake_.wait(lock);
      } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
                 Clock::now() >= deadline_) {
        fprintf(stderr, "\n[  TIMEOUT ] %s ran longer than %lld s: the run is ended\n",
                name_.c_str(), static_cast<long long>(kTestTimeLimit.count()));
        fflush(stderr);
        // Destructors and exit handlers could wait on the hanging test.
        _exit(1);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::string name_;
  Clock::time_point deadline_;
  bool armed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The listener list owns and deletes the watchdog.
  ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
  return RUN_ALL_TESTS();
}
