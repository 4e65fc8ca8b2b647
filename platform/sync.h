// Locks. RecursiveLock is what guards a reader and the kit's registries: a
// thread that holds it may take it again (card operations hold a reader's
// lock across several commands, each of which takes it once more). Both
// types meet the standard Lockable requirements, so std::lock_guard and
// std::unique_lock work with them.
#pragma once

#include <memory>

namespace kk::platform {

class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock();
  void unlock();
  [[nodiscard]] bool try_lock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kk::platform
