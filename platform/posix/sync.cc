// POSIX locks: a recursive pthread mutex.
#include "platform/sync.h"

#include <pthread.h>

#include <cstdlib>

namespace kk::platform {

struct RecursiveLock::Impl {
  pthread_mutex_t mutex;
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (pthread_mutex_init(&impl_->mutex, &attr) != 0) std::abort();
  pthread_mutexattr_destroy(&attr);
}

RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(&impl_->mutex); }

void RecursiveLock::lock() { pthread_mutex_lock(&impl_->mutex); }
void RecursiveLock::unlock() { pthread_mutex_unlock(&impl_->mutex); }
bool RecursiveLock::try_lock() { return pthread_mutex_trylock(&impl_->mutex) == 0; }

}  // namespace kk::platform
