// POSIX auto-reset event: a flag under a mutex with a condition variable on
// the monotonic clock (wall-clock changes do not stretch a wait).
#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kk::platform {

struct AutoResetEvent::Impl {
  std::mutex mutex;
  std::condition_variable signalled_cv;
  bool signalled = false;
};

AutoResetEvent::AutoResetEvent(const char* /*name*/) : impl_(std::make_unique<Impl>()) {}
AutoResetEvent::~AutoResetEvent() = default;

void AutoResetEvent::set() {
  {
    std::lock_guard guard(impl_->mutex);
    impl_->signalled = true;
  }
  impl_->signalled_cv.notify_one();
}

bool AutoResetEvent::wait(uint32_t timeout_ms) {
  std::unique_lock guard(impl_->mutex);
  const bool got = impl_->signalled_cv.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                                [this] { return impl_->signalled; });
  if (got) impl_->signalled = false;
  return got;
}

struct ManualResetEvent::Impl {
  std::mutex mutex;
  std::condition_variable signalled_cv;
  bool signalled = false;
};

ManualResetEvent::ManualResetEvent() : impl_(std::make_unique<Impl>()) {}
ManualResetEvent::~ManualResetEvent() = default;

void ManualResetEvent::set() {
  {
    std::lock_guard guard(impl_->mutex);
    impl_->signalled = true;
  }
  impl_->signalled_cv.notify_all();
}

void ManualResetEvent::reset() {
  std::lock_guard guard(impl_->mutex);
  impl_->signalled = false;
}

bool ManualResetEvent::wait(uint32_t timeout_ms) {
  std::unique_lock guard(impl_->mutex);
  return impl_->signalled_cv.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                      [this] { return impl_->signalled; });
}

}  // namespace kk::platform
