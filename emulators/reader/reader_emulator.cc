// The reader emulator's server thread and packet layer.
//
// The host sends a request byte-reversed, so its start byte comes last and
// its length is unknown until the whole packet is in. The emulator therefore
// keeps the reports of a request and, after each one, tries every 0xAE as the
// packet's last byte: the first candidate whose reversal is a consistent
// packet with an intact CRC is the request, and the rest of that report is
// filler. Candidates also start at later report boundaries, so reports left
// over from a request the host gave up on are dropped instead of wedging the
// reader.
#include "emulators/reader/reader_emulator.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "cardkit/transport/crc16.h"
#include "common/bytes.h"

namespace kk::emu {

namespace {

constexpr size_t kReportSize = 64;
constexpr size_t kTransferSize = kReportSize + 1;
constexpr size_t kPacketSize = 300;
constexpr uint8_t kStart = 0xAE;

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Decodes one request in logical order; nothing when it is not an intact,
// self-consistent packet.
std::optional<ReaderRequest> decode_request(std::span<const uint8_t> p) {
  if (p.size() < 9 || p.size() > kPacketSize || p[0] != kStart || p[1] > 1) return std::nullopt;
  const size_t header = p[1] == 0 ? 3 : 4;
  const size_t length = load_u16_be(&p[header]);
  if (length < 2 || header + 2 + length + 2 != p.size()) return std::nullopt;
  if (cardkit::packet_crc16(p) != 0) return std::nullopt;
  ReaderRequest request;
  request.address_form = p[1];
  request.address = p[1] == 0 ? p[2] : load_u16_be(&p[2]);
  request.type = load_u16_be(&p[header + 2]);
  request.payload.assign(p.begin() + static_cast<std::ptrdiff_t>(header + 4), p.end() - 2);
  return request;
}

}  // namespace

ReaderReply ReaderReply::packet(uint16_t address, uint16_t type, std::vector<uint8_t> payload) {
  return {Kind::packet, address, type, std::move(payload), {}};
}
ReaderReply ReaderReply::raw(std::vector<uint8_t> bytes) { return {Kind::raw, 0, 0, std::move(bytes), {}}; }
ReaderReply ReaderReply::none() { return {}; }

std::vector<uint8_t> encode_reply(uint16_t address, uint16_t type, std::span<const uint8_t> payload) {
  std::vector<uint8_t> p;
  p.push_back(kStart);
  if (address < 0x100) {
    p.push_back(0);
    p.push_back(static_cast<uint8_t>(address));
  } else {
    p.push_back(1);
    p.resize(p.size() + 2);
    store_u16_be(&p[2], address);
  }
  const size_t at = p.size();
  p.resize(at + 4);
  store_u16_be(&p[at], static_cast<uint16_t>(payload.size() + 2));
  store_u16_be(&p[at + 2], type);
  p.insert(p.end(), payload.begin(), payload.end());
  const uint16_t crc = cardkit::packet_crc16(p);
  p.resize(p.size() + 2);
  store_u16_be(&p[p.size() - 2], crc);
  return p;
}

ReaderEmulator::ReaderEmulator(ReaderEmulatorOptions options) : options_(std::move(options)) {
  handler_ = [](const ReaderRequest& request) {
    return ReaderReply::packet(request.address, request.type, request.payload);
  };
  try {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw_errno("pipe2");
    wake_read_fd_ = wake[0];
    wake_write_fd_ = wake[1];

    if (options_.carrier == Carrier::unix_socket) {
      path_ = options_.folder + "/" + options_.name;
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      if (path_.size() >= sizeof address.sun_path)
        throw std::system_error(std::make_error_code(std::errc::filename_too_long), path_);
      std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
      // A socket left behind by an earlier run would block the name.
      struct stat st {};
      if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path_.c_str());
      listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (listen_fd_ < 0) throw_errno("socket");
      if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw_errno("bind");
    } else {
      path_ = options_.folder + "/" + options_.name + ".tcp";
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (listen_fd_ < 0) throw_errno("socket");
      if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw_errno("bind");
      socklen_t size = sizeof address;
      if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw_errno("getsockname");
      // Written under another name and renamed, so the kit never reads half a line.
      const std::string line = "127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\n";
      const std::string temporary = options_.folder + "/." + options_.name + ".tcp.new";
      const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (file < 0) throw_errno("open");
      const bool written = ::write(file, line.data(), line.size()) == static_cast<ssize_t>(line.size());
      ::close(file);
      if (!written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw_errno("write");
      }
    }
    if (::listen(listen_fd_, 8) != 0) throw_errno("listen");
    thread_ = platform::Thread::start([this] { serve(); });
    if (!thread_.joinable())
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "thread");
  } catch (...) {
    if (listen_fd_ >= 0 && !path_.empty()) ::unlink(path_.c_str());
    close_fd(listen_fd_);
    close_fd(wake_read_fd_);
    close_fd(wake_write_fd_);
    throw;
  }
}

ReaderEmulator::~ReaderEmulator() { unplug(); }

void ReaderEmulator::set_handler(RequestHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void ReaderEmulator::set_report_delay(std::chrono::microseconds delay) {
  std::lock_guard lock(mutex_);
  report_delay_ = delay;
}

void ReaderEmulator::set_request_report_delay(std::chrono::microseconds delay) {
  std::lock_guard lock(mutex_);
  request_report_delay_ = delay;
}

void ReaderEmulator::set_connection_observer(std::function<void(bool)> observer) {
  std::lock_guard lock(mutex_);
  connection_observer_ = std::move(observer);
}

void ReaderEmulator::set_log_limit(size_t limit) {
  std::lock_guard lock(mutex_);
  log_limit_ = limit;
  if (limit > 0 && log_.size() > limit)
    log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(log_.size() - limit));
}

void ReaderEmulator::unplug() {
  {
    std::lock_guard lock(mutex_);
    if (unplugged_) return;
    unplugged_ = true;
  }
  const char wake = 1;
  while (::write(wake_write_fd_, &wake, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  close_client();
  ::unlink(path_.c_str());
  close_fd(listen_fd_);
  close_fd(wake_read_fd_);
  close_fd(wake_write_fd_);
}

bool ReaderEmulator::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

size_t ReaderEmulator::refused_connections() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

size_t ReaderEmulator::dropped_reports() const {
  std::lock_guard lock(mutex_);
  return dropped_reports_;
}

std::vector<ReaderRequest> ReaderEmulator::requests() const {
  std::lock_guard lock(mutex_);
  return log_;
}

bool ReaderEmulator::wait_for_requests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return logged_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

// The server loop. The wake pipe is never drained: once unplug() wrote to
// it, every later poll returns at once and the loop ends.
void ReaderEmulator::serve() {
  // Paced reports are due at 1 ms steps; the default timer slack of 50 us
  // would make every one of them late. The slack is this thread's own.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (;;) {
    std::array<pollfd, 3> fds{};
    fds[0] = {wake_read_fd_, POLLIN, 0};
    fds[1] = {client_fd_, POLLIN, 0};  // a negative fd is ignored by poll
    fds[2] = {listen_fd_, POLLIN, 0};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    try {
      // The client first: a host that closed and reconnects at once must
      // find its old connection gone, not be refused.
      if (fds[1].revents != 0 && !receive()) close_client();
      if (fds[2].revents != 0) accept_client();
    } catch (...) {
      // Out of memory half-way through a request: the stream's framing is
      // lost, so the client goes as if the reader was unplugged and plugged
      // in again; the reader itself serves on.
      close_client();
    }
  }
}

void ReaderEmulator::accept_client() {
  const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (client_fd_ >= 0) {
    // Held by another client: close without the attribute bytes, which the
    // kit takes as a device it cannot open.
    {
      // Counted first: once the client sees the close, the count is there.
      std::lock_guard lock(mutex_);
      ++refused_;
    }
    ::close(fd);
    return;
  }
  client_fd_ = fd;
  transfer_.clear();
  gathered_.clear();
  {
    // Marked before the attribute bytes go out, so that a client that has
    // them already sees the reader as held.
    std::lock_guard lock(mutex_);
    connected_ = true;
  }
  std::array<uint8_t, 4> attributes{};
  store_u16_le(&attributes[0], options_.vendor_id);
  store_u16_le(&attributes[2], options_.product_id);
  if (!send_all(attributes)) {
    close_client();
    return;
  }
  notify_connection(true);
}

void ReaderEmulator::close_client() {
  const bool had_client = client_fd_ >= 0;
  close_fd(client_fd_);
  transfer_.clear();
  gathered_.clear();
  {
    std::lock_guard lock(mutex_);
    connected_ = false;
  }
  if (had_client) notify_connection(false);
}

void ReaderEmulator::notify_connection(bool connected) {
  std::function<void(bool)> observer;
  {
    std::lock_guard lock(mutex_);
    observer = connection_observer_;
  }
  if (!observer) return;
  try {
    observer(connected);
  } catch (...) {
    // An observer only watches; its failure is not the reader's.
  }
}

// Takes in what the client sent; false when the connection is over.
bool ReaderEmulator::receive() {
  std::array<uint8_t, 1024> buffer{};
  const ssize_t n = ::recv(client_fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
  if (n == 0) return false;
  const auto arrival = std::chrono::steady_clock::now();
  std::chrono::microseconds delay;
  {
    std::lock_guard lock(mutex_);
    delay = request_report_delay_;
  }
  for (ssize_t i = 0; i < n && client_fd_ >= 0; ++i) {
    transfer_.push_back(buffer[static_cast<size_t>(i)]);
    if (transfer_.size() < kTransferSize) continue;
    std::vector<uint8_t> transfer;
    transfer.swap(transfer_);
    if (transfer[0] != 0) {  // not a report of this protocol
      std::lock_guard lock(mutex_);
      ++dropped_reports_;
      continue;
    }
    // The report occupies the wire for one delay after it arrived, or after
    // the report before it if that one still had the wire.
    wire_free_ = std::max(wire_free_, arrival) + delay;
    if (delay.count() > 0 && !pause_until(wire_free_)) return false;
    take_report(std::span(transfer).subspan(1));
  }
  return client_fd_ >= 0;
}

void ReaderEmulator::take_report(std::span<const uint8_t> report) {
  const size_t checked = gathered_.size();
  gathered_.insert(gathered_.end(), report.begin(), report.end());

  std::optional<ReaderRequest> request;
  size_t start = 0;
  for (; start < gathered_.size() && !request; start += kReportSize) {
    // Ends already tried with this start failed before; only the new report
    // can complete a packet.
    for (size_t end = std::max(start, checked); end < gathered_.size() && !request; ++end) {
      if (gathered_[end] != kStart || end - start + 1 > kPacketSize) continue;
      std::vector<uint8_t> logical(
          gathered_.rbegin() + static_cast<std::ptrdiff_t>(gathered_.size() - end - 1),
          gathered_.rend() - static_cast<std::ptrdiff_t>(start));
      request = decode_request(logical);
    }
  }
  if (!request) {
    // No packet is longer than 300 bytes: a start that has gathered more
    // than that cannot lead to one any more.
    size_t stale = 0;
    while (gathered_.size() - stale > kPacketSize) stale += kReportSize;
    if (stale > 0) {
      gathered_.erase(gathered_.begin(), gathered_.begin() + static_cast<std::ptrdiff_t>(stale));
      std::lock_guard lock(mutex_);
      dropped_reports_ += stale / kReportSize;
    }
    return;
  }

  start -= kReportSize;  // the loop stepped past the start that matched
  request->reports = (gathered_.size() - start) / kReportSize;
  RequestHandler handler;
  std::chrono::microseconds delay;
  {
    std::lock_guard lock(mutex_);
    dropped_reports_ += start / kReportSize;
    log_.push_back(*request);
    if (log_limit_ > 0 && log_.size() > log_limit_) log_.erase(log_.begin());
    handler = handler_;
    delay = report_delay_;
  }
  logged_.notify_all();
  gathered_.clear();

  ReaderReply reply;
  try {
    if (handler) reply = handler(*request);
  } catch (...) {
    // A handler that fails answers nothing; the server keeps running.
    reply = ReaderReply::none();
  }
  if (reply.kind == ReaderReply::Kind::none) return;
  if (reply.delay.count() > 0) {
    // Busy: nothing is taken in until the reply has gone out.
    if (!pause_until(std::chrono::steady_clock::now() + reply.delay)) return;
    wire_free_ = std::max(wire_free_, std::chrono::steady_clock::now());
  }
  const std::vector<uint8_t> bytes = reply.kind == ReaderReply::Kind::packet
                                         ? encode_reply(reply.address, reply.type, reply.bytes)
                                         : reply.bytes;
  // Reply reports keep to the schedule that started when the request's last
  // report was due (wire_free_); the handler's work does not add to it.
  for (size_t offset = 0; offset < bytes.size(); offset += kReportSize) {
    wire_free_ += delay;
    if (delay.count() > 0 && !pause_until(wire_free_)) return;
    std::array<uint8_t, kTransferSize> transfer{};  // report id 0, zero filler
    const size_t piece = std::min(kReportSize, bytes.size() - offset);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), piece, transfer.begin() + 1);
    if (!send_all(transfer)) {
      close_client();
      return;
    }
  }
}

// Sleeps until `deadline` unless unplug() comes first (then false).
bool ReaderEmulator::pause_until(std::chrono::steady_clock::time_point deadline) {
  pollfd wake{wake_read_fd_, POLLIN, 0};
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec span{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    const int r = ::ppoll(&wake, 1, &span, nullptr);
    if (r > 0) return false;
    if (r < 0 && errno != EINTR) return true;
  }
}

// Sends every byte to the client unless the connection breaks or unplug()
// comes first (then false).
bool ReaderEmulator::send_all(std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(client_fd_, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      std::array<pollfd, 2> fds{};
      fds[0] = {wake_read_fd_, POLLIN, 0};
      fds[1] = {client_fd_, POLLOUT, 0};
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return false;
      if (fds[0].revents != 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace kk::emu
