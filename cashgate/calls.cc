#include "cashgate/calls.h"

#include <array>

#include "cashgate/daily_log.h"
#include "notecore.h"

namespace kk::cashgate {

namespace {

// Runs one notecore command with a zeroed reply area; on success stores the
// first two reply bytes behind `first` and `second`.
template <typename Call>
int32_t call_with_reply(Call&& call, int32_t& first, int32_t& second) {
  std::array<uint8_t, kNotecoreReplyLimit> reply{};
  int32_t count = 0;
  int32_t result = call(reply.data(), &count);
  if (result == 0 && (count < 0 || static_cast<size_t>(count) > kReplyBufferSize)) result = -1;
  if (result == 0) {
    first = reply[0];
    second = reply[1];
  }
  return result;
}

}  // namespace

int32_t open_port(int32_t port) {
  const int32_t result = Voro_OpenPort(port);
  log_call("TarnOpenPort(%d)", port);
  return result;
}

int32_t close_port() {
  const int32_t result = Voro_ClosePort();
  log_call("TarnClosePort");
  return result;
}

int32_t reset(int32_t& first, int32_t& second) {
  const int32_t result = call_with_reply(Voro_Reset, first, second);
  log_call("TarnReset %d,%d", first, second);
  return result;
}

int32_t poll(int32_t& first, int32_t& second) {
  const int32_t result = call_with_reply(Voro_Poll, first, second);
  log_call("TarnPoll %d,%d", first, second);
  return result;
}

int32_t enable_bill_type(uint32_t bill_mask, uint8_t escrow, int32_t& first, int32_t& second) {
  const int32_t result = call_with_reply(
      [&](uint8_t* buf, int32_t* len) { return Voro_EnableBillType(bill_mask, escrow, buf, len); }, first,
      second);
  log_call("TarnEnableBillType(%d,%d) %d,%d", static_cast<int>(bill_mask & 0xFF), escrow != 0 ? 1 : 0, first,
           second);
  return result;
}

int32_t disable_bill(int32_t& first, int32_t& second) {
  const int32_t result = call_with_reply(Voro_DisableBill, first, second);
  log_call("TarnDisableBill %d,%d", first, second);
  return result;
}

}  // namespace kk::cashgate
