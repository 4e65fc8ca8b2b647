// The six wrapper calls: each calls one notecore export, turns the reply's
// first two bytes into two integers where the command has a reply, logs one
// line and returns notecore's result unchanged. The reply area handed to
// notecore has room for the longest reply notecore delivers (128 bytes), so
// notecore never writes past it; a reply longer than the wrapper's 100-byte
// buffer is then refused as a failed call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kk::cashgate {

inline constexpr size_t kReplyBufferSize = 100;
inline constexpr size_t kNotecoreReplyLimit = 128;

[[nodiscard]] int32_t open_port(int32_t port);
[[nodiscard]] int32_t close_port();
[[nodiscard]] int32_t reset(int32_t& first, int32_t& second);
[[nodiscard]] int32_t poll(int32_t& first, int32_t& second);
[[nodiscard]] int32_t enable_bill_type(uint32_t bill_mask, uint8_t escrow, int32_t& first, int32_t& second);
[[nodiscard]] int32_t disable_bill(int32_t& first, int32_t& second);

}  // namespace kk::cashgate
