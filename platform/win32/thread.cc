// Win32 threads.
#include "platform/thread.h"

#include <windows.h>

namespace kk::platform {

struct Thread::Impl {
  HANDLE handle = nullptr;
  DWORD id = 0;
  std::function<void()> body;
};

namespace {
DWORD WINAPI run(LPVOID arg) {
  // Nothing may leave a thread's body: an exception escaping a thread ends
  // the whole process, the host's included.
  try {
    static_cast<Thread::Impl*>(arg)->body();
  } catch (...) {
  }
  return 0;
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
  impl->handle = CreateThread(nullptr, 0, &run, impl.get(), 0, &impl->id);
  if (impl->handle != nullptr) t.impl_ = std::move(impl);
  return t;
}

bool Thread::joinable() const { return impl_ != nullptr; }

bool Thread::is_current() const { return impl_ && impl_->id == GetCurrentThreadId(); }

void Thread::join() {
  if (!impl_) return;
  if (is_current()) {
    // A thread cannot wait for itself: let it finish on its own, and keep
    // its state, which it is still running from.
    CloseHandle(impl_->handle);
    impl_.release();  // NOLINT(bugprone-unused-return-value)
    return;
  }
  WaitForSingleObject(impl_->handle, INFINITE);
  CloseHandle(impl_->handle);
  impl_.reset();
}

}  // namespace kk::platform
