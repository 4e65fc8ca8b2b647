// Win32 locks: a critical section (recursive by nature).
#include "platform/sync.h"

#include <windows.h>

namespace kk::platform {

struct RecursiveLock::Impl {
  CRITICAL_SECTION section;
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {
  InitializeCriticalSection(&impl_->section);
}
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(&impl_->section); }

void RecursiveLock::lock() { EnterCriticalSection(&impl_->section); }
void RecursiveLock::unlock() { LeaveCriticalSection(&impl_->section); }
bool RecursiveLock::try_lock() { return TryEnterCriticalSection(&impl_->section) != FALSE; }

}  // namespace kk::platform
