// POSIX threads.
#include "platform/thread.h"

#include <pthread.h>

namespace kk::platform {

struct Thread::Impl {
  pthread_t handle{};
  std::function<void()> body;
};

namespace {
void* run(void* arg) {
  auto* impl = static_cast<Thread::Impl*>(arg);
  // Nothing may leave a thread's body: an exception escaping a thread ends
  // the whole process, the host's included.
  try {
    impl->body();
  } catch (...) {
  }
  return nullptr;
}
}  // namespace

Thread::Thread() = default;
Thread::Thread(Thread&&) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
Thread::~Thread() { join(); }

Thread Thread::start(std::function<void()> body) {
  Thread t;
  auto impl = std::make_unique<Impl>();
  impl->body = std::move(body);
  if (pthread_create(&impl->handle, nullptr, &run, impl.get()) == 0) t.impl_ = std::move(impl);
  return t;
}

bool Thread::joinable() const { return impl_ != nullptr; }

bool Thread::is_current() const { return impl_ && pthread_equal(impl_->handle, pthread_self()) != 0; }

void Thread::join() {
  if (!impl_) return;
  if (is_current()) {
    // A thread cannot wait for itself: let it finish on its own, and keep
    // its state, which it is still running from.
    pthread_detach(impl_->handle);
    impl_.release();  // NOLINT(bugprone-unused-return-value)
    return;
  }
  pthread_join(impl_->handle, nullptr);
  impl_.reset();
}

}  // namespace kk::platform
