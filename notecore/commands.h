// The validator commands the driver offers and the one link they share. Each
// command builds its request frame in a zeroed 128-byte area, runs one
// exchange and hands back the reply data uninterpreted, at most 128 bytes.
// The link is a process-wide object that lives as long as the library; its
// end closes the port.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "notecore/validator_link.h"

namespace kk::notecore {

enum class Command : uint8_t {
  reset = 0x30,
  poll = 0x33,
  enable_bill_types = 0x34,
  stack = 0x35,
  return_bill = 0x36,
  identification = 0x37,
  hold = 0x38,
  bill_table = 0x41,
};

inline constexpr size_t kCommandAreaSize = 128;
inline constexpr uint32_t kPortBaud = 9600;
inline constexpr char kVersionText[] = "v20130205";

// The process's validator link.
[[nodiscard]] ValidatorLink& validator();

// Opens COM<port_number> at 9600 baud, 8 data bits, no parity, 1 stop bit;
// a port already open stays as it is and counts as opened.
[[nodiscard]] bool open_port(int32_t port_number);
void close_port();

// The six parameter bytes of the enable-bill-types command: two 24-bit masks
// (bills to accept, bills to hold in escrow), most significant byte first,
// of which only the low byte addresses bill types 0 to 7. Escrow is on only
// when the low byte of `escrow_flag` is exactly 1.
[[nodiscard]] std::array<uint8_t, 6> bill_type_params(uint32_t bill_mask, uint32_t escrow_flag);

// Runs `command` with `params`; on ok the reply data are at the start of
// `reply` and their number is in `count` (0 otherwise).
[[nodiscard]] LinkCode run_command(Command command, std::span<const uint8_t> params,
                                   std::span<uint8_t, kCommandAreaSize> reply, uint32_t& count);

}  // namespace kk::notecore
