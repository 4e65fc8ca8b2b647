// POSIX serial ports: termios, non-blocking I/O, flock for exclusive use.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/posix/no_sigpipe.h"
#include "platform/posix/serial_baud.h"

namespace kk::platform {

// Never less than this for bytes still to come, so that no rate can turn the
// wait into a spin.
constexpr uint64_t kShortestPartialWaitUs = 100;

struct SerialDevice::Impl {
  int fd = -1;
  uint32_t byte_us = 0;  // one character on the line: start, data, parity and stop bits
};

namespace {

// The termios constant for a line rate, or B0 when termios has none.
speed_t speed_constant(uint32_t baud) {
  switch (baud) {
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

bool apply_line_settings(int fd, const SerialSettings& wanted) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  settings.c_cflag |= CLOCAL | CREAD | (wanted.data_bits == 7 ? CS7 : CS8);
  if (wanted.parity != Parity::none) {
    settings.c_cflag |= PARENB;
    if (wanted.parity == Parity::odd) settings.c_cflag |= PARODD;
  }
  if (wanted.stop_bits == 2) settings.c_cflag |= CSTOPB;
  // Reads return at once with whatever is queued.
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  const speed_t speed = speed_constant(wanted.baud);
  if (speed != B0 && cfsetspeed(&settings, speed) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;
  return speed != B0 || detail::set_numeric_baud(fd, wanted.baud);
}

}  // namespace

std::string serial_device_path(int32_t port_number) {
  if (port_number <= 0) return {};
  char variable[32];
  std::snprintf(variable, sizeof variable, "KIOSKKIT_COM%d", static_cast<int>(port_number));
  if (const char* path = std::getenv(variable); path != nullptr && *path != '\0') return path;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "/dev/ttyS%d", static_cast<int>(port_number) - 1);
  return fallback;
}

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}
SerialDevice::~SerialDevice() { close(); }

bool SerialDevice::open(int32_t port_number, const SerialSettings& settings) {
  close();
  const std::string path = serial_device_path(port_number);
  if (path.empty()) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // flock keeps out every other opener, this process and root included;
  // TIOCEXCL adds the terminal's own refusal for openers that do not lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd)) {
    ::close(fd);
    return false;
  }
  (void)ioctl(fd, TIOCEXCL);
  if (!apply_line_settings(fd, settings)) {
    ::close(fd);
    return false;
  }
  // A pseudo-terminal has no modem-control lines and refuses this; that is
  // no reason to refuse the port.
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ioctl(fd, TIOCMBIS, &lines);
  impl_->fd = fd;
  const uint32_t bits =
      1 + settings.data_bits + (settings.parity != Parity::none ? 1 : 0) + settings.stop_bits;
  impl_->byte_us = settings.baud > 0 ? static_cast<uint32_t>(uint64_t{bits} * 1000000 / settings.baud) : 0;
  return true;
}

void SerialDevice::close() {
  if (impl_->fd < 0) return;
  (void)ioctl(impl_->fd, TIOCNXCL);
  ::close(impl_->fd);
  impl_->fd = -1;
}

bool SerialDevice::is_open() const { return impl_->fd >= 0; }

void SerialDevice::purge_input() {
  if (impl_->fd >= 0) (void)tcflush(impl_->fd, TCIFLUSH);
}

void SerialDevice::purge_output() {
  if (impl_->fd < 0) return;
  // Only bytes still queued in the driver are discarded. A pseudo-terminal
  // reports no output queue: what was written has already been handed to the
  // other side, as a real port has sent it by now, and a flush there could
  // still drop it (the validator's acknowledgement of the last reply).
  int queued = 0;
  if (ioctl(impl_->fd, TIOCOUTQ, &queued) == 0 && queued > 0) (void)tcflush(impl_->fd, TCOFLUSH);
}

int32_t SerialDevice::queued_input() {
  int queued = 0;
  if (impl_->fd < 0 || ioctl(impl_->fd, FIONREAD, &queued) != 0) return -1;
  return queued;
}

SerialRead SerialDevice::read(std::span<uint8_t> into, size_t& got) {
  got = 0;
  if (impl_->fd < 0) return SerialRead::failed;
  for (;;) {
    const ssize_t n = ::read(impl_->fd, into.data(), into.size());
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return SerialRead::done;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? SerialRead::done : SerialRead::failed;
  }
}

bool SerialDevice::write(std::span<const uint8_t> bytes, uint32_t wait_ms) {
  if (impl_->fd < 0) return false;
  const uint32_t start = tick_ms();
  // The port's path may name something that is no terminal.
  const NoSigpipe no_sigpipe;
  while (!bytes.empty()) {
    const ssize_t n = ::write(impl_->fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // Bytes the terminal cannot take would be lost: that is a failed write.
    const uint32_t elapsed = tick_ms() - start;
    if (elapsed >= wait_ms) return false;
    pollfd writable{impl_->fd, POLLOUT, 0};
    (void)::poll(&writable, 1, static_cast<int>(wait_ms - elapsed));
  }
  // Like a Windows serial write, finish once the bytes have left the driver's
  // queue, within the same wait; bytes still queued after it go out later,
  // so the write counts as done either way.
  int queued = 0;
  while (ioctl(impl_->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && tick_ms() - start < wait_ms) sleep_ms(1);
  return true;
}

void SerialDevice::wait_input(size_t wanted, uint32_t limit_ms) {
  if (limit_ms == 0) return;
  const int32_t queued = queued_input();
  if (queued < 0) {
    sleep_ms(limit_ms);
    return;
  }
  if (static_cast<size_t>(queued) >= wanted) return;
  if (queued == 0) {
    pollfd readable{impl_->fd, POLLIN, 0};
    const uint32_t start = tick_ms();
    const int ready = ::poll(&readable, 1, static_cast<int>(limit_ms));
    // A hung-up or failing terminal polls ready without bytes: pause out the
    // rest of the limit instead of coming back at once, again and again.
    if (ready != 0 && queued_input() <= 0) {
      const uint32_t elapsed = tick_ms() - start;
      if (elapsed < limit_ms) sleep_ms(limit_ms - elapsed);
    }
    return;
  }
  // Some of the bytes are here, so the terminal already polls readable; the
  // rest are on their way at the line rate. Wait the time they take to come,
  // and a quarter of a byte more, so as not to wake just before the last.
  const uint64_t missing_us = uint64_t{impl_->byte_us} * (wanted - static_cast<size_t>(queued));
  const uint64_t wait_us = std::min<uint64_t>(
      std::max<uint64_t>(missing_us + impl_->byte_us / 4, kShortestPartialWaitUs), uint64_t{limit_ms} * 1000);
  timespec pause{static_cast<time_t>(wait_us / 1000000), static_cast<long>(wait_us % 1000000) * 1000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void pump_messages() {}

}  // namespace kk::platform
