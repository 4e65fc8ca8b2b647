// Serial ports: the operating system's side of the validator's COM port.
// This unit opens a port by its COM number, applies the line settings,
// reports how many received bytes are queued, reads without blocking, writes
// with a bounded wait and discards the queues. It knows nothing of frames or
// retries; the validator link above it owns all protocol. It also hosts the
// two things the link does while it waits: dispatching the calling thread's
// window messages (so a user interface on that thread stays alive) and the
// wait between looks at the input queue, which ends as soon as bytes arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kk::platform {

enum class Parity : uint8_t { none, odd, even };

struct SerialSettings {
  uint32_t baud = 9600;  // a rate the port supports; the caller maps odd requests
  Parity parity = Parity::none;
  uint8_t data_bits = 8;  // 7 or 8
  uint8_t stop_bits = 1;  // 1 or 2
};

enum class SerialRead : uint8_t {
  done,     // the bytes are in the buffer (possibly fewer than asked)
  pending,  // the system took the read but has not finished it
  failed,   // the port refused the read (closed, unplugged, an I/O error)
};

// The device path behind COM<number> on this system: on Windows "\\.\COM<n>",
// on POSIX systems the path in KIOSKKIT_COM<n> when set, else
// /dev/ttyS<n-1>. Empty when the number names no port (zero or negative).
[[nodiscard]] std::string serial_device_path(int32_t port_number);

// One open serial port. Not thread-safe: the one thread that drives the
// validator uses it. Every operation on a port that is not open fails (or,
// for the purges, does nothing).
class SerialDevice {
 public:
  SerialDevice();
  ~SerialDevice();  // closes the port
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens COM<port_number> for exclusive use (a second opener, in this or any
  // other process, fails), raw, non-blocking, with `settings` applied and the
  // DTR and RTS lines raised where the port has them. False, with the port
  // left closed, when the port cannot be opened or its line settings cannot
  // be applied.
  [[nodiscard]] bool open(int32_t port_number, const SerialSettings& settings);
  void close();
  [[nodiscard]] bool is_open() const;

  // Discard what was received and not read yet / what was written and is
  // still queued in the driver, aborting reads or writes under way. Bytes a
  // write has already handed on (to the wire, or to the other side of a
  // pseudo-terminal) are not taken back.
  void purge_input();
  void purge_output();

  // Bytes received and not yet read; clears the port's line error flags.
  // Negative when the port cannot be queried.
  [[nodiscard]] int32_t queued_input();

  // Reads up to into.size() bytes that are already queued, without waiting.
  [[nodiscard]] SerialRead read(std::span<uint8_t> into, size_t& got);

  // Hands all of `bytes` to the port and waits up to `wait_ms` for them to
  // leave the driver's queue. False when the port refuses the write or (on
  // POSIX systems, which cannot keep an unfinished write queued beyond the
  // call) cannot take every byte within `wait_ms`. Bytes accepted but not
  // yet sent when the wait ends still go out, so that counts as written.
  [[nodiscard]] bool write(std::span<const uint8_t> bytes, uint32_t wait_ms);

  // Waits until at least `wanted` received bytes are queued or `limit_ms`
  // pass, whichever comes first, in a state in which the system may run the
  // calling thread's queued completion routines. On Windows a window message
  // arriving for the calling thread also ends the wait, so that the caller
  // can dispatch it. The wait may end early (for example when some but not
  // all of the wanted bytes have come); callers look at the queue again. On
  // a port that is not open it pauses for `limit_ms`.
  void wait_input(size_t wanted, uint32_t limit_ms);

  struct Impl;  // the system's port state, defined by each implementation

 private:
  std::unique_ptr<Impl> impl_;
};

// Removes, translates and dispatches one window message waiting in the calling
// thread's queue, if there is one. Does nothing where threads have no message
// queue (POSIX systems).
void pump_messages();

}  // namespace kk::platform
