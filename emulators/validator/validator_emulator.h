// A CCNET bill validator on a pseudo-terminal, for tests and for host
// developers without a validator. The emulator owns the terminal's master
// side; the driver opens the slave path (device_path()) as its COM port, so
// every byte goes through the system's real terminal layer. It answers each
// command the driver sends with plausible data: a state machine that runs
// from power-up through initialising to idle or disabled, accepts a bill a
// person (or a test) inserts, holds it in escrow or stacks it, and reports
// stacked, returned and rejected bills (with any rejection reason), with a
// 24-entry bill table and an identification block. A transient state moves
// on only once the host has acknowledged the poll that reported it, as on
// the real device. The faults a technician deals with (drop cassette full,
// removed or jammed, validator jammed, paused, a failure with its sub-code)
// and a cheating attempt can be put on it at any time.
//
// Every frame received is recorded (acknowledgements included), and failure
// modes let tests see how the driver copes with a silent validator, a reply
// that does not start like a frame, a wrong CRC and a reply that stalls.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "notecore/poll_states.h"

namespace kk::emu {

// The state byte a poll reports (with a second byte for some states).
using ValidatorState = notecore::PollState;

// Lasting faults. While one holds, every poll reports it (the failure with
// its sub-code) instead of the state underneath, no bill is taken and the
// state machine waits; once it is cleared the validator goes on from where
// it was (a bill in escrow is still there, one that was stacking is then
// reported stacked). A reset does not clear a fault: only the technician does.
enum class Fault : uint8_t {
  none = 0,
  cassette_full = static_cast<uint8_t>(ValidatorState::cassette_full),
  cassette_removed = static_cast<uint8_t>(ValidatorState::cassette_removed),
  validator_jammed = static_cast<uint8_t>(ValidatorState::validator_jammed),
  cassette_jammed = static_cast<uint8_t>(ValidatorState::cassette_jammed),
  paused = static_cast<uint8_t>(ValidatorState::paused),
  failure = static_cast<uint8_t>(ValidatorState::failure),  // with a sub-code
};

enum class Failure : uint8_t {
  none,
  silent,             // no reply at all
  bad_header_once,    // the next reply starts with a wrong byte, then normal again
  bad_header_always,  // every reply starts with a wrong byte
  bad_crc,            // every reply carries a wrong CRC
  late_body,          // every reply stalls after its fourth byte for late_body_delay_ms
};

// Single-byte replies of commands that carry no data.
inline constexpr uint8_t kReplyAck = 0x00;
inline constexpr uint8_t kReplyIllegalCommand = 0x30;
inline constexpr uint8_t kReplyNak = 0xFF;
// Rejection reason for a bill type the host has not enabled.
inline constexpr uint8_t kRejectInhibited = static_cast<uint8_t>(notecore::RejectReason::inhibited);

inline constexpr size_t kBillTypes = 24;
inline constexpr size_t kBillTableEntrySize = 5;  // digit, 3-letter currency, power of ten

struct BillTableEntry {
  uint8_t digit;
  char currency[3];
  uint8_t power_of_ten;
};

// The line settings the driver put on the terminal.
struct LineSettings {
  uint32_t baud;  // 0 when termios has no number for it
  char parity;    // 'N', 'O' or 'E'
  int data_bits;
  int stop_bits;
};

class ValidatorEmulator {
 public:
  struct Options {
    // Polls the validator reports "initialising" after power-up.
    int initialising_polls = 2;
    // How long a late_body reply stalls after its first four bytes.
    uint32_t late_body_delay_ms = 2500;
    // When not 0, bytes take the time they take on a serial line at this
    // rate (ten bits a byte), both ways: a request is answered once its last
    // byte has come over the line, a reply comes byte by byte. A
    // pseudo-terminal alone carries bytes without wire time.
    uint32_t wire_baud = 0;
  };

  ValidatorEmulator();
  explicit ValidatorEmulator(Options options);
  ~ValidatorEmulator();
  ValidatorEmulator(const ValidatorEmulator&) = delete;
  ValidatorEmulator& operator=(const ValidatorEmulator&) = delete;

  // Creates the pseudo-terminal and starts answering. False when the system
  // gives no pseudo-terminal.
  [[nodiscard]] bool start();
  void stop();
  // The path a host gives to KIOSKKIT_COM<N>.
  [[nodiscard]] const std::string& device_path() const { return path_; }

  // Every whole frame received so far, in order, as received (a frame with a
  // wrong CRC included).
  [[nodiscard]] std::vector<std::vector<uint8_t>> received() const;
  // Waits until at least `count` frames have been received; false when
  // `timeout_ms` passes first.
  [[nodiscard]] bool wait_for_frames(size_t count, uint32_t timeout_ms) const;
  void clear_received();
  // Called on the emulator's thread with each frame received and each reply
  // sent (`from_host` tells which), outside the emulator's lock.
  void set_observer(std::function<void(bool from_host, std::span<const uint8_t> frame)> observer);

  void set_failure(Failure failure);
  // The next request is answered with exactly `bytes` instead of its reply
  // (no failure mode applies); the state machine still takes the command.
  void send_instead_of_next_reply(std::vector<uint8_t> bytes);

  // A bill of `type` put into the slot. True when the validator draws it in:
  // it then reports accepting, and later escrow or stacking, or rejecting when
  // the host has not enabled the type. False when the type has no entry in
  // the bill table or the validator is not idling (disabled, busy, already
  // holding a bill, or under a fault).
  bool insert_bill(uint8_t type);
  // A bill put into the slot that the validator turns away with `reason`
  // (any byte; the known ones are notecore::RejectReason): it reports
  // rejecting with that reason, then idles again. False, like insert_bill,
  // when the validator is not idling.
  bool reject_bill(uint8_t reason);
  // Someone pulls the bill in progress back out: the validator reports
  // cheated until the host acknowledges it, then idles; the bill is not
  // reported stacked or returned. False when no bill is in the validator.
  bool cheat();
  // Puts on a fault (Fault::none clears it). `failure_code` is the sub-code
  // reported with Fault::failure (notecore::FailureCode, or any byte).
  void set_fault(Fault fault, uint8_t failure_code = 0);
  [[nodiscard]] Fault fault() const;

  // What a poll would report now: the state byte and its detail byte, if any.
  [[nodiscard]] std::vector<uint8_t> report() const;
  [[nodiscard]] ValidatorState state() const;   // the first byte of report()
  [[nodiscard]] uint8_t enabled_types() const;  // bit k: bill type k
  [[nodiscard]] uint8_t escrow_types() const;
  [[nodiscard]] LineSettings line_settings() const;

  static const std::array<BillTableEntry, kBillTypes>& bill_table();
  // The identification block: 15 characters of part number, 12 of serial
  // number and 7 bytes of asset number.
  static std::vector<uint8_t> identification();

 private:
  void run();
  void take_bytes(std::span<const uint8_t> bytes);
  // The reply data (without framing) for one request; called with the lock held.
  std::vector<uint8_t> answer(std::span<const uint8_t> frame);
  [[nodiscard]] std::vector<uint8_t> poll_reply() const;
  void advance_after_ack();
  [[nodiscard]] ValidatorState rest_state() const;
  [[nodiscard]] bool taking_bills() const;
  // Sends at once, or onto the paced line.
  void send(std::span<const uint8_t> bytes);
  void write_all(std::span<const uint8_t> bytes);
  using WireClock = std::chrono::steady_clock;
  // When the next byte onto a paced line (free from `line_free` on) has
  // crossed it; moves `line_free` on.
  [[nodiscard]] WireClock::time_point next_on_wire(WireClock::time_point& line_free) const;

  Options options_;
  std::string path_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master never sees a hang-up
  int wake_[2] = {-1, -1};
  std::thread thread_;

  mutable std::mutex lock_;
  mutable std::condition_variable frames_changed_;
  std::vector<std::vector<uint8_t>> frames_;
  std::vector<uint8_t> partial_;
  uint32_t partial_since_ms_ = 0;
  std::function<void(bool, std::span<const uint8_t>)> observer_;
  Failure failure_ = Failure::none;
  std::vector<uint8_t> scripted_reply_;
  bool scripted_ = false;
  std::vector<uint8_t> delayed_output_;
  uint32_t delayed_at_ms_ = 0;
  // The paced line (wire_baud), used on the emulator's thread only.
  std::deque<std::pair<WireClock::time_point, uint8_t>> wire_in_;
  std::deque<std::pair<WireClock::time_point, uint8_t>> wire_out_;
  WireClock::time_point in_line_free_{};
  WireClock::time_point out_line_free_{};

  ValidatorState state_ = ValidatorState::power_up;
  uint8_t detail_ = 0;  // bill type or rejection reason of the state
  Fault fault_ = Fault::none;
  uint8_t failure_code_ = 0;
  uint8_t enabled_ = 0;
  uint8_t escrow_ = 0;
  int initialising_left_ = 0;
  bool advance_on_ack_ = false;
  ValidatorState reported_ = ValidatorState::power_up;  // by the last poll
};

}  // namespace kk::emu
