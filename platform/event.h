// An auto-reset event: set() releases exactly one waiter; a set() with
// nobody waiting stays set until the next wait() consumes it.
//
// On Windows the event is the named kernel object `name`, shared by every
// process of the session that opens it. Elsewhere there is no session-wide
// named event; the event is shared by every thread of the process, and the
// name only documents it.
#pragma once

#include <cstdint>
#include <memory>

namespace kk::platform {

class AutoResetEvent {
 public:
  explicit AutoResetEvent(const char* name);
  ~AutoResetEvent();
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void set();
  // Waits at most `timeout_ms` for the event. True when it was (or became)
  // set; the event is then reset. A timeout of 0 only tests it.
  [[nodiscard]] bool wait(uint32_t timeout_ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A manual-reset event: once set, every wait returns at once until reset().
// The kit's threads pause on one, so that stopping them wakes them at once
// instead of their polling a flag.
class ManualResetEvent {
 public:
  ManualResetEvent();
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void set();
  void reset();
  // Waits at most `timeout_ms` for the event. True when it is set.
  [[nodiscard]] bool wait(uint32_t timeout_ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kk::platform
