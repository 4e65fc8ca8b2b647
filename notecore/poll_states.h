// What a validator's poll reply means: the state byte, the rejection reason
// or failure sub-code or bill type that follows some states, and their
// names. The driver hands poll replies back uninterpreted; this unit is for
// the programs that read them to people (the emulator's console, the
// diagnostics tool) and for the emulator, which reports these states. It is
// pure: no I/O, no state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kk::notecore {

// The first byte of a poll reply.
enum class PollState : uint8_t {
  power_up = 0x10,
  power_up_bill_in_validator = 0x11,
  power_up_bill_in_stacker = 0x12,
  initialising = 0x13,
  idling = 0x14,
  accepting = 0x15,
  stacking = 0x17,
  returning = 0x18,
  disabled = 0x19,
  holding = 0x1A,
  busy = 0x1B,
  rejecting = 0x1C,  // + rejection reason
  cassette_full = 0x41,
  cassette_removed = 0x42,  // the drop cassette is out of position
  validator_jammed = 0x43,
  cassette_jammed = 0x44,
  cheated = 0x45,
  paused = 0x46,
  failure = 0x47,   // + failure sub-code
  escrow = 0x80,    // + bill type
  stacked = 0x81,   // + bill type
  returned = 0x82,  // + bill type
};

// The second byte of a rejecting state.
enum class RejectReason : uint8_t {
  insertion = 0x60,
  magnetic = 0x61,
  remained_in_head = 0x62,
  multiplying = 0x63,
  conveying = 0x64,
  identification = 0x65,
  verification = 0x66,
  optic = 0x67,
  inhibited = 0x68,
  capacity = 0x69,
  operation = 0x6A,
  length = 0x6C,
};

// The second byte of the failure state.
enum class FailureCode : uint8_t {
  stack_motor = 0x50,
  transport_motor_speed = 0x51,
  transport_motor = 0x52,
  aligning_motor = 0x53,
  initial_cassette_status = 0x54,
  optic_canal = 0x55,
  magnetic_canal = 0x56,
  capacitance_canal = 0x5F,
};

// What the second byte of a state is, if the state has one.
enum class DetailKind : uint8_t { none, reject_reason, failure_code, bill_type };

// A code with its names: a short keyword for command lines ("head") and the
// words for people ("bill remained in the head").
struct CodeName {
  uint8_t code;
  std::string_view keyword;
  std::string_view words;
};

[[nodiscard]] std::span<const CodeName> poll_state_names();
[[nodiscard]] std::span<const CodeName> reject_reason_names();
[[nodiscard]] std::span<const CodeName> failure_code_names();

// The entry of `code`, or none for a code the table does not know.
[[nodiscard]] std::optional<CodeName> find_code(std::span<const CodeName> table, uint8_t code);
// The code whose keyword in `table` is `word`, or the number `word` is
// ("0x64", "100", any value 0-255, so codes the table does not know can be
// named too); none when it is neither.
[[nodiscard]] std::optional<uint8_t> parse_code(std::span<const CodeName> table, std::string_view word);

[[nodiscard]] DetailKind detail_kind(uint8_t state);

// A poll reply taken apart. Names are empty for codes the tables do not know.
struct PollStatus {
  uint8_t state = 0;
  std::string_view state_name;
  DetailKind detail_kind = DetailKind::none;
  std::optional<uint8_t> detail;  // present when the state has one and the reply carries it
  std::string_view detail_name;   // the reason or failure in words; empty for a bill type
};

// Takes apart the reply data of a poll (as Voro_Poll gives them); none for
// an empty reply.
[[nodiscard]] std::optional<PollStatus> decode_poll(std::span<const uint8_t> reply);

// One line for people: "idling", "escrow, bill type 2", "rejecting: bill
// remained in the head (0x62)", "failure: optic canal (0x55)"; for codes the
// tables do not know "state 0x99", "rejecting: reason 0x7F", "failure:
// sub-code 0x7F"; "rejecting, no reason given" when the byte is missing;
// "no reply data" for an empty reply.
[[nodiscard]] std::string describe_poll(std::span<const uint8_t> reply);

}  // namespace kk::notecore
