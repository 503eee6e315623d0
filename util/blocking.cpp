#include "util/blocking.h"

#include <atomic>

namespace {

std::atomic<const BlockingHooks*> installed{nullptr};

}  // namespace

void set_blocking_hooks(const BlockingHooks* hooks) noexcept {
  installed.store(hooks, std::memory_order_release);
}

BlockingSection::BlockingSection() noexcept
    : hooks_(installed.load(std::memory_order_acquire)), token_(nullptr) {
  if (hooks_ != nullptr) token_ = hooks_->enter();
}

BlockingSection::~BlockingSection() {
  if (token_ != nullptr) hooks_->leave(token_);
}
