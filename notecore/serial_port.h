// The validator's COM port as the link uses it: five stored settings applied
// when the port opens, one 1024-byte receive buffer that every read fills
// from its start, and the two waits the link is built from. read_step takes
// a count of bytes once they have started to arrive (giving up a second after
// the first); wait_read keeps calling it at a 10 ms cadence until something
// arrives or its own deadline passes, dispatching the thread's window
// messages meanwhile. Between two looks at the port both wait on the port
// itself, at most one cadence step, so they go on the moment bytes arrive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/serial.h"

namespace kk::notecore {

enum class ReadCode : uint16_t {
  ok = 0x0000,
  nothing_yet = 0xFFFF,  // the input queue is empty
  timeout = 0xFFF6,      // the wait ran out; the input queue was purged
  pending = 0xFFF4,      // the system took the read but did not finish it
  failed = 0xFFF3,       // the port refused the read
};

inline constexpr size_t kReceiveBufferSize = 1024;
inline constexpr uint32_t kPollCadenceMs = 10;
inline constexpr uint32_t kByteRunLimitMs = 1000;
inline constexpr uint32_t kWriteWaitMs = 1000;

class SerialPort {
 public:
  // Stores the settings used by the next open(); no I/O.
  void configure(int32_t port_number, uint32_t baud, char parity, uint8_t data_bits, uint8_t stop_bits);

  // Opens and sets up the port. On an open port: true, and nothing changes.
  [[nodiscard]] bool open();
  // Always true, also for a port that was never opened.
  bool close();
  [[nodiscard]] bool is_open() const { return open_; }

  void purge_rx();
  void purge_tx();
  [[nodiscard]] bool write(std::span<const uint8_t> bytes);

  [[nodiscard]] ReadCode read_step(size_t count);
  [[nodiscard]] ReadCode wait_read(size_t count, uint32_t seconds);

  // The receive buffer: the bytes of the last successful read are at its start.
  [[nodiscard]] std::span<const uint8_t, kReceiveBufferSize> received() const { return receive_; }
  void clear_received() { receive_.fill(0); }

  // What wait_read calls on each pass to keep the thread's window messages
  // moving; the platform's dispatcher unless replaced.
  using MessagePump = void (*)();
  void set_message_pump(MessagePump pump) { pump_ = pump; }

  // The settings open() applies after mapping the stored ones: a rate the
  // port does not offer becomes 9600, an unknown parity none, and so on.
  [[nodiscard]] platform::SerialSettings line_settings() const;

 private:
  int32_t port_number_ = 0;
  uint32_t baud_ = 9600;
  std::array<uint8_t, kReceiveBufferSize> receive_{};
  platform::SerialDevice device_;
  bool open_ = false;
  uint8_t stop_bits_ = 1;
  uint8_t data_bits_ = 8;
  char parity_ = 'N';
  MessagePump pump_ = &platform::pump_messages;
};

}  // namespace kk::notecore
