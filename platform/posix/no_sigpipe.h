// Writing to a pipe, FIFO or socket whose reading end has gone raises
// SIGPIPE, and its default action ends the process: the host's process, when
// the kit is the writer. A NoSigpipe blocks SIGPIPE on the calling thread for
// its lifetime and, when it goes, takes back a SIGPIPE that a write made
// meanwhile, so the write just fails with EPIPE. A SIGPIPE already pending
// before is left alone. Shared by the POSIX services that write to
// descriptors the kit does not choose (standard error, log paths, serial
// device paths); sockets use MSG_NOSIGNAL instead.
#pragma once

#include <signal.h>
#include <time.h>

#include <cerrno>

namespace kk::platform {

class NoSigpipe {
 public:
  NoSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0;
  }
  ~NoSigpipe() {
    if (!blocked_) return;
    if (!was_pending_) {
      const timespec now{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  NoSigpipe(const NoSigpipe&) = delete;
  NoSigpipe& operator=(const NoSigpipe&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t previous_{};
  bool was_pending_ = false;
  bool blocked_ = false;
};

}  // namespace kk::platform
