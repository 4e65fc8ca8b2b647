#include "notecore/poll_states.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace kk::notecore {

namespace {

constexpr std::array kStates{
    CodeName{0x10, "power-up", "power up"},
    CodeName{0x11, "power-up-bill-in-validator", "power up with a bill in the validator"},
    CodeName{0x12, "power-up-bill-in-stacker", "power up with a bill in the stacker"},
    CodeName{0x13, "initialising", "initialising"},
    CodeName{0x14, "idling", "idling"},
    CodeName{0x15, "accepting", "accepting"},
    CodeName{0x17, "stacking", "stacking"},
    CodeName{0x18, "returning", "returning"},
    CodeName{0x19, "disabled", "unit disabled"},
    CodeName{0x1A, "holding", "holding"},
    CodeName{0x1B, "busy", "busy"},
    CodeName{0x1C, "rejecting", "rejecting"},
    CodeName{0x41, "cassette-full", "drop cassette full"},
    CodeName{0x42, "cassette-removed", "drop cassette removed"},
    CodeName{0x43, "jammed", "validator jammed"},
    CodeName{0x44, "cassette-jammed", "drop cassette jammed"},
    CodeName{0x45, "cheated", "cheated"},
    CodeName{0x46, "paused", "paused"},
    CodeName{0x47, "failure", "failure"},
    CodeName{0x80, "escrow", "escrow"},
    CodeName{0x81, "stacked", "bill stacked"},
    CodeName{0x82, "returned", "bill returned"},
};

constexpr std::array kRejectReasons{
    CodeName{0x60, "insertion", "insertion"},
    CodeName{0x61, "magnetic", "magnetic"},
    CodeName{0x62, "head", "bill remained in the head"},
    CodeName{0x63, "multiplying", "multiplying"},
    CodeName{0x64, "conveying", "conveying"},
    CodeName{0x65, "identification", "identification"},
    CodeName{0x66, "verification", "verification"},
    CodeName{0x67, "optic", "optic"},
    CodeName{0x68, "inhibited", "inhibited"},
    CodeName{0x69, "capacity", "capacity"},
    CodeName{0x6A, "operation", "operation"},
    CodeName{0x6C, "length", "length"},
};

constexpr std::array kFailureCodes{
    CodeName{0x50, "stack-motor", "stack motor"},
    CodeName{0x51, "transport-speed", "transport motor speed"},
    CodeName{0x52, "transport-motor", "transport motor"},
    CodeName{0x53, "aligning-motor", "aligning motor"},
    CodeName{0x54, "cassette-status", "initial cassette status"},
    CodeName{0x55, "optic-canal", "optic canal"},
    CodeName{0x56, "magnetic-canal", "magnetic canal"},
    CodeName{0x5F, "capacitance-canal", "capacitance canal"},
};

std::span<const CodeName> detail_table(DetailKind kind) {
  switch (kind) {
    case DetailKind::reject_reason:
      return kRejectReasons;
    case DetailKind::failure_code:
      return kFailureCodes;
    default:
      return {};
  }
}

std::string_view detail_noun(DetailKind kind) {
  switch (kind) {
    case DetailKind::reject_reason:
      return "reason";
    case DetailKind::failure_code:
      return "sub-code";
    default:
      return "bill type";
  }
}

std::string hex_byte(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

}  // namespace

std::span<const CodeName> poll_state_names() { return kStates; }
std::span<const CodeName> reject_reason_names() { return kRejectReasons; }
std::span<const CodeName> failure_code_names() { return kFailureCodes; }

std::optional<CodeName> find_code(std::span<const CodeName> table, uint8_t code) {
  const auto it = std::find_if(table.begin(), table.end(), [&](const CodeName& c) { return c.code == code; });
  if (it == table.end()) return std::nullopt;
  return *it;
}

std::optional<uint8_t> parse_code(std::span<const CodeName> table, std::string_view word) {
  for (const CodeName& c : table) {
    if (c.keyword == word) return c.code;
  }
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
    base = 16;
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (word.empty() || error != std::errc{} || end != word.data() + word.size() || value > 0xFF)
    return std::nullopt;
  return static_cast<uint8_t>(value);
}

DetailKind detail_kind(uint8_t state) {
  switch (static_cast<PollState>(state)) {
    case PollState::rejecting:
      return DetailKind::reject_reason;
    case PollState::failure:
      return DetailKind::failure_code;
    case PollState::escrow:
    case PollState::stacked:
    case PollState::returned:
      return DetailKind::bill_type;
    default:
      return DetailKind::none;
  }
}

std::optional<PollStatus> decode_poll(std::span<const uint8_t> reply) {
  if (reply.empty()) return std::nullopt;
  PollStatus status;
  status.state = reply[0];
  if (const auto name = find_code(kStates, status.state)) status.state_name = name->words;
  status.detail_kind = detail_kind(status.state);
  if (status.detail_kind == DetailKind::none || reply.size() < 2) return status;
  status.detail = reply[1];
  if (const auto name = find_code(detail_table(status.detail_kind), reply[1]))
    status.detail_name = name->words;
  return status;
}

std::string describe_poll(std::span<const uint8_t> reply) {
  const std::optional<PollStatus> status = decode_poll(reply);
  if (!status) return "no reply data";
  std::string text =
      status->state_name.empty() ? "state " + hex_byte(status->state) : std::string(status->state_name);
  const std::string noun(detail_noun(status->detail_kind));
  if (status->detail_kind == DetailKind::none) return text;
  if (!status->detail) return text + ", no " + noun + " given";
  const uint8_t detail = *status->detail;
  if (status->detail_kind == DetailKind::bill_type) return text + ", bill type " + std::to_string(detail);
  if (status->detail_name.empty()) return text + ": " + noun + " " + hex_byte(detail);
  return text + ": " + std::string(status->detail_name) + " (" + hex_byte(detail) + ")";
}

}  // namespace kk::notecore
