#include "notecore/serial_port.h"

#include "platform/clock.h"

namespace kk::notecore {

void SerialPort::configure(int32_t port_number, uint32_t baud, char parity, uint8_t data_bits,
                           uint8_t stop_bits) {
  port_number_ = port_number;
  baud_ = baud;
  parity_ = parity;
  data_bits_ = data_bits;
  stop_bits_ = stop_bits;
}

platform::SerialSettings SerialPort::line_settings() const {
  platform::SerialSettings settings;
  switch (baud_) {
    case 300:
    case 600:
    case 1200:
    case 2400:
    case 4800:
    case 19200:
    case 38400:
    case 56000:
    case 57600:
    case 115200:
      settings.baud = baud_;
      break;
    default:
      settings.baud = 9600;
  }
  settings.parity = parity_ == 'O'   ? platform::Parity::odd
                    : parity_ == 'E' ? platform::Parity::even
                                     : platform::Parity::none;
  settings.data_bits = data_bits_ == 7 ? 7 : 8;
  settings.stop_bits = stop_bits_ == 2 ? 2 : 1;
  return settings;
}

bool SerialPort::open() {
  if (open_) return true;
  open_ = device_.open(port_number_, line_settings());
  return open_;
}

bool SerialPort::close() {
  device_.close();
  open_ = false;
  return true;
}

void SerialPort::purge_rx() { device_.purge_input(); }
void SerialPort::purge_tx() { device_.purge_output(); }

bool SerialPort::write(std::span<const uint8_t> bytes) { return device_.write(bytes, kWriteWaitMs); }

ReadCode SerialPort::read_step(size_t count) {
  receive_.fill(0);
  if (count > receive_.size()) return ReadCode::failed;
  if (device_.queued_input() <= 0) return ReadCode::nothing_yet;

  const uint32_t start = platform::tick_ms();
  for (;;) {
    const int32_t queued = device_.queued_input();
    if (queued > 0 && static_cast<size_t>(queued) >= count) {
      size_t got = 0;
      switch (device_.read(std::span(receive_).first(count), got)) {
        case platform::SerialRead::pending:
          return ReadCode::pending;
        case platform::SerialRead::failed:
          return ReadCode::failed;
        case platform::SerialRead::done:
          break;
      }
      if (got >= count) return ReadCode::ok;
    }
    if (platform::tick_ms() - start > kByteRunLimitMs) {
      purge_rx();
      return ReadCode::timeout;
    }
    device_.wait_input(count, kPollCadenceMs);
  }
}

ReadCode SerialPort::wait_read(size_t count, uint32_t seconds) {
  const uint32_t start = platform::tick_ms();
  const uint32_t deadline_ms = seconds * 1000;
  for (;;) {
    pump_();
    if (platform::tick_ms() - start > deadline_ms) {
      purge_rx();
      return ReadCode::timeout;
    }
    const ReadCode step = read_step(count);
    if (step != ReadCode::nothing_yet) return step;
    device_.wait_input(count, kPollCadenceMs);
  }
}

}  // namespace kk::notecore
