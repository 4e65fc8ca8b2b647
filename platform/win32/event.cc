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

}  // namespace kk::platform
