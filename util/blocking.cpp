#include "util/blocking.h"

#include <atomic>

namespace {

std::atomic<const BlockingHooks*> installed{nullptr};

}  // namespace

void set_blocking_hooks(const BlockingHooks* hooks) noexcept {
  installed.store(hooks, std::memory_order_release);
}

const BlockingHooks* blocking_hooks() noexcept { return installed.load(std::memory_order_acquire); }

BlockingSection::BlockingSection() noexcept : hooks_(blocking_hooks()), token_(nullptr) {
  if (hooks_ != nullptr) token_ = hooks_->enter();
}

BlockingSection::~BlockingSection() {
  if (token_ != nullptr) hooks_->leave(token_);
}
