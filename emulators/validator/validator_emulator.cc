#include "emulators/validator/validator_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "notecore/frame.h"
#include "platform/clock.h"

namespace kk::emu {

namespace {

constexpr uint8_t kCmdReset = 0x30;
constexpr uint8_t kCmdPoll = 0x33;
constexpr uint8_t kCmdEnableBillTypes = 0x34;
constexpr uint8_t kCmdStack = 0x35;
constexpr uint8_t kCmdReturn = 0x36;
constexpr uint8_t kCmdIdentification = 0x37;
constexpr uint8_t kCmdHold = 0x38;
constexpr uint8_t kCmdBillTable = 0x41;

constexpr uint8_t kWrongSync = 0x05;
// Bytes of a frame that stopped arriving are dropped after this long.
constexpr uint32_t kStalePartialMs = 1000;
constexpr size_t kLateBodyFirstPart = 4;

uint32_t speed_number(speed_t speed) {
  switch (speed) {
    case B300:
      return 300;
    case B600:
      return 600;
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

}  // namespace

const std::array<BillTableEntry, kBillTypes>& ValidatorEmulator::bill_table() {
  static const std::array<BillTableEntry, kBillTypes> table = [] {
    std::array<BillTableEntry, kBillTypes> entries{};
    const std::pair<uint8_t, uint8_t> notes[] = {{1, 0}, {5, 0}, {1, 1}, {2, 1}, {5, 1}, {1, 2}};
    for (size_t i = 0; i < std::size(notes); ++i)
      entries[i] = BillTableEntry{notes[i].first, {'C', 'N', 'Y'}, notes[i].second};
    return entries;
  }();
  return table;
}

std::vector<uint8_t> ValidatorEmulator::identification() {
  static constexpr char kPart[] = "KKV-EMU-100    ";  // 15 characters
  static constexpr char kSerial[] = "EM0000000001";   // 12 characters
  std::vector<uint8_t> block(kPart, kPart + 15);
  block.insert(block.end(), kSerial, kSerial + 12);
  const uint8_t asset[7] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  block.insert(block.end(), asset, asset + 7);
  return block;
}

ValidatorEmulator::ValidatorEmulator() : ValidatorEmulator(Options{}) {}
ValidatorEmulator::ValidatorEmulator(Options options) : options_(options) {}
ValidatorEmulator::~ValidatorEmulator() { stop(); }

bool ValidatorEmulator::start() {
  if (thread_.joinable()) return true;
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return false;
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    stop();
    return false;
  }
  path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
    stop();
    return false;
  }
  // Raw from the start: no echo or line editing before the driver opens it.
  cfmakeraw(&raw);
  (void)tcsetattr(slave_, TCSANOW, &raw);
  (void)fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    stop();
    return false;
  }
  try {
    thread_ = std::thread([this] {
      try {
        run();
      } catch (...) {
        // Nothing may leave the thread (it would end the process); the
        // validator just falls silent, as a broken one does.
      }
    });
  } catch (...) {  // no thread to be had
    stop();
    return false;
  }
  return true;
}

void ValidatorEmulator::stop() {
  if (thread_.joinable()) {
    const uint8_t quit = 1;
    (void)!::write(wake_[1], &quit, 1);
    thread_.join();
  }
  for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void ValidatorEmulator::run() {
  std::array<uint8_t, 512> buffer;
  for (;;) {
    std::optional<WireClock::time_point> wake_at;
    {
      std::lock_guard guard(lock_);
      if (!delayed_output_.empty())
        wake_at = WireClock::now() + std::chrono::milliseconds(std::max(
                                         0, static_cast<int32_t>(delayed_at_ms_ - platform::tick_ms())));
    }
    for (const auto* line : {&wire_in_, &wire_out_}) {
      if (!line->empty() && (!wake_at || line->front().first < *wake_at)) wake_at = line->front().first;
    }
    timespec timeout{};
    if (wake_at) {
      const auto left = std::max(WireClock::duration::zero(), *wake_at - WireClock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::ppoll(fds, 2, wake_at ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n > 0) {
        const auto bytes = std::span(buffer).first(static_cast<size_t>(n));
        if (options_.wire_baud == 0) {
          take_bytes(bytes);
        } else {
          for (const uint8_t byte : bytes) wire_in_.emplace_back(next_on_wire(in_line_free_), byte);
        }
      }
    }
    // Bytes of the paced line whose time has come: received ones to the state
    // machine, sent ones to the terminal.
    std::vector<uint8_t> arrived;
    while (!wire_in_.empty() && wire_in_.front().first <= WireClock::now()) {
      arrived.push_back(wire_in_.front().second);
      wire_in_.pop_front();
    }
    if (!arrived.empty()) take_bytes(arrived);
    while (!wire_out_.empty() && wire_out_.front().first <= WireClock::now()) {
      write_all(std::span(&wire_out_.front().second, 1));
      wire_out_.pop_front();
    }
    std::vector<uint8_t> due;
    {
      std::lock_guard guard(lock_);
      if (!delayed_output_.empty() && static_cast<int32_t>(platform::tick_ms() - delayed_at_ms_) >= 0) {
        due.swap(delayed_output_);
        send(due);
      }
    }
  }
}

ValidatorEmulator::WireClock::time_point ValidatorEmulator::next_on_wire(
    WireClock::time_point& line_free) const {
  // Ten bits a byte: start, eight data bits, stop.
  const auto byte_time = std::chrono::nanoseconds(10'000'000'000LL / options_.wire_baud);
  line_free = std::max(line_free, WireClock::now()) + byte_time;
  return line_free;
}

void ValidatorEmulator::take_bytes(std::span<const uint8_t> bytes) {
  std::vector<std::pair<bool, std::vector<uint8_t>>> seen;  // for the observer
  std::function<void(bool, std::span<const uint8_t>)> observer;
  {
    std::lock_guard guard(lock_);
    const uint32_t now = platform::tick_ms();
    if (!partial_.empty() && now - partial_since_ms_ > kStalePartialMs) partial_.clear();
    if (partial_.empty()) partial_since_ms_ = now;
    partial_.insert(partial_.end(), bytes.begin(), bytes.end());

    for (;;) {
      const auto sync = std::find(partial_.begin(), partial_.end(), notecore::kSync);
      partial_.erase(partial_.begin(), sync);
      if (partial_.size() < notecore::kHeaderSize) break;
      const size_t length = partial_[2];
      if (length < notecore::kMinReplySize) {  // not a frame start: resynchronise
        partial_.erase(partial_.begin());
        continue;
      }
      if (partial_.size() < length) break;
      std::vector<uint8_t> frame(partial_.begin(), partial_.begin() + static_cast<ptrdiff_t>(length));
      partial_.erase(partial_.begin(), partial_.begin() + static_cast<ptrdiff_t>(length));
      partial_since_ms_ = now;
      frames_.push_back(frame);
      frames_changed_.notify_all();
      seen.emplace_back(true, frame);

      if (frame[1] != notecore::kValidatorAddress) continue;  // another device's frame
      if (std::equal(frame.begin(), frame.end(), notecore::kAckFrame.begin(), notecore::kAckFrame.end())) {
        // Only the state the host was told about moves on: a bill inserted
        // since that poll is news the host has not had yet.
        if (advance_on_ack_ && state_ == reported_) advance_after_ack();
        advance_on_ack_ = false;
        continue;
      }
      // A new request: anything still owed for the last one is abandoned.
      advance_on_ack_ = false;
      delayed_output_.clear();
      const std::vector<uint8_t> data =
          notecore::frame_is_valid(frame) ? answer(frame) : std::vector<uint8_t>{kReplyNak};
      std::array<uint8_t, notecore::kMaxFrameSize> reply{};
      const size_t reply_length = notecore::build_frame(data[0], std::span(data).subspan(1), reply);
      std::vector<uint8_t> out;
      if (scripted_) {
        out.swap(scripted_reply_);
        scripted_ = false;
      } else {
        out.assign(reply.begin(), reply.begin() + static_cast<ptrdiff_t>(reply_length));
        switch (failure_) {
          case Failure::none:
            break;
          case Failure::silent:
            out.clear();
            break;
          case Failure::bad_header_once:
            failure_ = Failure::none;
            out[0] = kWrongSync;
            break;
          case Failure::bad_header_always:
            out[0] = kWrongSync;
            break;
          case Failure::bad_crc:
            out.back() ^= 0xFF;
            break;
          case Failure::late_body:
            delayed_output_.assign(out.begin() + kLateBodyFirstPart, out.end());
            delayed_at_ms_ = now + options_.late_body_delay_ms;
            out.resize(kLateBodyFirstPart);
            break;
        }
      }
      send(out);
      if (!out.empty()) seen.emplace_back(false, out);
    }
    observer = observer_;
  }
  if (!observer) return;
  try {
    for (const auto& [from_host, frame] : seen) observer(from_host, frame);
  } catch (...) {
    // An observer only watches; its failure is not the validator's.
  }
}

void ValidatorEmulator::send(std::span<const uint8_t> bytes) {
  if (options_.wire_baud == 0) {
    write_all(bytes);
    return;
  }
  for (const uint8_t byte : bytes) wire_out_.emplace_back(next_on_wire(out_line_free_), byte);
}

void ValidatorEmulator::write_all(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<size_t>(n));
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd writable{master_, POLLOUT, 0};
      if (::poll(&writable, 1, 1000) <= 0) return;
    }
  }
}

std::vector<uint8_t> ValidatorEmulator::answer(std::span<const uint8_t> frame) {
  const uint8_t command = frame[3];
  const auto params = frame.subspan(4, frame.size() - 4 - notecore::kCrcSize);
  const bool bill_in_escrow = state_ == ValidatorState::escrow || state_ == ValidatorState::holding;
  switch (command) {
    case kCmdReset:
      state_ = ValidatorState::power_up;
      detail_ = 0;
      enabled_ = 0;
      escrow_ = 0;
      return {kReplyAck};
    case kCmdPoll: {
      std::vector<uint8_t> reply = poll_reply();
      advance_on_ack_ = true;
      reported_ = static_cast<ValidatorState>(reply[0]);
      return reply;
    }
    case kCmdEnableBillTypes:
      if (params.size() != 6) return {kReplyIllegalCommand};
      enabled_ = params[2];
      escrow_ = params[5];
      if (state_ == ValidatorState::idling || state_ == ValidatorState::disabled) state_ = rest_state();
      return {kReplyAck};
    case kCmdStack:
    case kCmdReturn:
      if (!bill_in_escrow) return {kReplyIllegalCommand};
      state_ = command == kCmdStack ? ValidatorState::stacking : ValidatorState::returning;
      return {kReplyAck};
    case kCmdHold:
      if (!bill_in_escrow) return {kReplyIllegalCommand};
      state_ = ValidatorState::holding;
      return {kReplyAck};
    case kCmdIdentification:
      return identification();
    case kCmdBillTable: {
      std::vector<uint8_t> table;
      for (const BillTableEntry& entry : bill_table()) {
        table.push_back(entry.digit);
        table.insert(table.end(), entry.currency, entry.currency + 3);
        table.push_back(entry.power_of_ten);
      }
      return table;
    }
    default:
      return {kReplyIllegalCommand};
  }
}

std::vector<uint8_t> ValidatorEmulator::poll_reply() const {
  if (fault_ != Fault::none) {
    std::vector<uint8_t> reply{static_cast<uint8_t>(fault_)};
    if (fault_ == Fault::failure) reply.push_back(failure_code_);
    return reply;
  }
  std::vector<uint8_t> reply{static_cast<uint8_t>(state_)};
  if (notecore::detail_kind(static_cast<uint8_t>(state_)) != notecore::DetailKind::none)
    reply.push_back(detail_);
  return reply;
}

ValidatorState ValidatorEmulator::rest_state() const {
  return enabled_ != 0 ? ValidatorState::idling : ValidatorState::disabled;
}

void ValidatorEmulator::advance_after_ack() {
  switch (state_) {
    case ValidatorState::power_up:
      initialising_left_ = options_.initialising_polls;
      state_ = initialising_left_ > 0 ? ValidatorState::initialising : rest_state();
      break;
    case ValidatorState::initialising:
      if (--initialising_left_ <= 0) state_ = rest_state();
      break;
    case ValidatorState::accepting:
      state_ = ((escrow_ >> detail_) & 1) != 0 ? ValidatorState::escrow : ValidatorState::stacking;
      break;
    case ValidatorState::stacking:
      state_ = ValidatorState::stacked;
      break;
    case ValidatorState::returning:
      state_ = ValidatorState::returned;
      break;
    case ValidatorState::holding:
      state_ = ValidatorState::escrow;
      break;
    case ValidatorState::stacked:
    case ValidatorState::returned:
    case ValidatorState::rejecting:
    case ValidatorState::cheated:
      state_ = rest_state();
      detail_ = 0;
      break;
    default:
      break;
  }
}

bool ValidatorEmulator::insert_bill(uint8_t type) {
  std::lock_guard guard(lock_);
  if (type >= kBillTypes || bill_table()[type].digit == 0 || !taking_bills()) return false;
  if (type < 8 && ((enabled_ >> type) & 1) != 0) {
    state_ = ValidatorState::accepting;
    detail_ = type;
  } else {
    state_ = ValidatorState::rejecting;
    detail_ = kRejectInhibited;
  }
  return true;
}

bool ValidatorEmulator::reject_bill(uint8_t reason) {
  std::lock_guard guard(lock_);
  if (!taking_bills()) return false;
  state_ = ValidatorState::rejecting;
  detail_ = reason;
  return true;
}

bool ValidatorEmulator::cheat() {
  std::lock_guard guard(lock_);
  switch (state_) {
    case ValidatorState::accepting:
    case ValidatorState::escrow:
    case ValidatorState::holding:
    case ValidatorState::stacking:
    case ValidatorState::returning:
      state_ = ValidatorState::cheated;
      detail_ = 0;
      return true;
    default:
      return false;
  }
}

void ValidatorEmulator::set_fault(Fault fault, uint8_t failure_code) {
  std::lock_guard guard(lock_);
  fault_ = fault;
  failure_code_ = fault == Fault::failure ? failure_code : 0;
}

Fault ValidatorEmulator::fault() const {
  std::lock_guard guard(lock_);
  return fault_;
}

bool ValidatorEmulator::taking_bills() const {
  return fault_ == Fault::none && state_ == ValidatorState::idling;
}

std::vector<uint8_t> ValidatorEmulator::report() const {
  std::lock_guard guard(lock_);
  return poll_reply();
}

std::vector<std::vector<uint8_t>> ValidatorEmulator::received() const {
  std::lock_guard guard(lock_);
  return frames_;
}

bool ValidatorEmulator::wait_for_frames(size_t count, uint32_t timeout_ms) const {
  std::unique_lock guard(lock_);
  return frames_changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                  [&] { return frames_.size() >= count; });
}

void ValidatorEmulator::clear_received() {
  std::lock_guard guard(lock_);
  frames_.clear();
}

void ValidatorEmulator::set_observer(std::function<void(bool, std::span<const uint8_t>)> observer) {
  std::lock_guard guard(lock_);
  observer_ = std::move(observer);
}

void ValidatorEmulator::set_failure(Failure failure) {
  std::lock_guard guard(lock_);
  failure_ = failure;
}

void ValidatorEmulator::send_instead_of_next_reply(std::vector<uint8_t> bytes) {
  std::lock_guard guard(lock_);
  scripted_reply_ = std::move(bytes);
  scripted_ = true;
}

ValidatorState ValidatorEmulator::state() const { return static_cast<ValidatorState>(report()[0]); }

uint8_t ValidatorEmulator::enabled_types() const {
  std::lock_guard guard(lock_);
  return enabled_;
}

uint8_t ValidatorEmulator::escrow_types() const {
  std::lock_guard guard(lock_);
  return escrow_;
}

LineSettings ValidatorEmulator::line_settings() const {
  termios settings{};
  if (slave_ < 0 || tcgetattr(slave_, &settings) != 0) return LineSettings{0, '?', 0, 0};
  const tcflag_t flags = settings.c_cflag;
  const char parity = (flags & PARENB) == 0 ? 'N' : (flags & PARODD) != 0 ? 'O' : 'E';
  return LineSettings{speed_number(cfgetospeed(&settings)), parity, (flags & CSIZE) == CS7 ? 7 : 8,
                      (flags & CSTOPB) != 0 ? 2 : 1};
}

}  // namespace kk::emu
