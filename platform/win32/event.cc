// Win32 auto-reset event: a named kernel event.
#include "platform/event.h"

#include <windows.h>

namespace kk::platform {

struct AutoResetEvent::Impl {
  HANDLE handle = nullptr;
};

AutoResetEvent::AutoResetEvent(const char* name) : impl_(std::make_unique<Impl>()) {
  impl_->handle = CreateEventA(nullptr, FALSE, FALSE, name);
}

AutoResetEvent::~AutoResetEvent() {
  if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}

void AutoResetEvent::set() {
  if (impl_->handle != nullptr) SetEvent(impl_->handle);
}

bool AutoResetEvent::wait(uint32_t timeout_ms) {
  return impl_->handle != nullptr && WaitForSingleObject(impl_->handle, timeout_ms) == WAIT_OBJECT_0;
}

struct ManualResetEvent::Impl {
  HANDLE handle = nullptr;
};

ManualResetEvent::ManualResetEvent() : impl_(std::make_unique<Impl>()) {
  impl_->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

ManualResetEvent::~ManualResetEvent() {
  if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}

void ManualResetEvent::set() {
  if (impl_->handle != nullptr) SetEvent(impl_->handle);
}

void ManualResetEvent::reset() {
  if (impl_->handle != nullptr) ResetEvent(impl_->handle);
}

bool ManualResetEvent::wait(uint32_t timeout_ms) {
  // Without an event object a wait cannot be woken early: it sleeps out its
  // time, which keeps the callers' cadence.
  if (impl_->handle == nullptr) {
    Sleep(timeout_ms);
    return false;
  }
  return WaitForSingleObject(impl_->handle, timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace kk::platform
