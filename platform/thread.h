// Threads the kit starts (the reader discovery thread, one card thread per
// reader, emulator servers). A Thread owns its OS thread: join() waits for
// it; destroying a Thread that was not joined waits for it too, so no thread
// can outlive the object (and the code) that started it.
#pragma once

#include <functional>
#include <memory>

namespace kk::platform {

class Thread {
 public:
  Thread();
  ~Thread();
  Thread(Thread&&) noexcept;
  Thread& operator=(Thread&&) noexcept;

  // Starts `body` on a new thread. Returns a Thread that is not joinable when
  // the OS refused to start one; throws std::bad_alloc when there is no
  // memory for its state. An exception that leaves `body` ends the thread
  // quietly (the body's owner should catch what it can handle first).
  [[nodiscard]] static Thread start(std::function<void()> body);

  [[nodiscard]] bool joinable() const;
  // True when called on the thread this object runs.
  [[nodiscard]] bool is_current() const;
  void join();

  struct Impl;  // the system's thread state, defined by each implementation

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kk::platform
