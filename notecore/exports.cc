// The C exports of notecore: argument checks, one call into the driver, and
// the conversion of its result to 0 / -1.
#include <array>
#include <cstring>

#include "common/boundary.h"
#include "notecore.h"
#include "notecore/commands.h"

using kk::notecore::Command;

namespace {

int32_t command_export(Command command, std::span<const uint8_t> params, uint8_t* buf, int32_t* len) {
  return kk::guarded(int32_t{-1}, [&]() -> int32_t {
    if (len == nullptr) return -1;
    *len = 0;
    if (buf == nullptr) return -1;
    std::array<uint8_t, kk::notecore::kCommandAreaSize> reply{};
    uint32_t count = 0;
    if (kk::notecore::run_command(command, params, reply, count) != kk::notecore::LinkCode::ok) return -1;
    std::memcpy(buf, reply.data(), count);
    *len = static_cast<int32_t>(count);
    return 0;
  });
}

int32_t enable_export(uint32_t mask, uint32_t escrow, uint8_t* buf, int32_t* len) {
  const auto params = kk::notecore::bill_type_params(mask, escrow);
  return command_export(Command::enable_bill_types, params, buf, len);
}

}  // namespace

extern "C" {

int32_t KIOSKKIT_CALL Voro_OpenPort(int32_t port) {
  return kk::guarded(int32_t{-1}, [&] { return kk::notecore::open_port(port) ? int32_t{0} : int32_t{-1}; });
}

int32_t KIOSKKIT_CALL Voro_ClosePort(void) {
  kk::guarded_void([] { kk::notecore::close_port(); });
  return 0;
}

int32_t KIOSKKIT_CALL Voro_Reset(uint8_t* buf, int32_t* len) {
  return command_export(Command::reset, {}, buf, len);
}
int32_t KIOSKKIT_CALL Voro_Poll(uint8_t* buf, int32_t* len) {
  return command_export(Command::poll, {}, buf, len);
}
int32_t KIOSKKIT_CALL Voro_Identification(uint8_t* buf, int32_t* len) {
  return command_export(Command::identification, {}, buf, len);
}
int32_t KIOSKKIT_CALL Voro_GetBillTable(uint8_t* buf, int32_t* len) {
  return command_export(Command::bill_table, {}, buf, len);
}
int32_t KIOSKKIT_CALL Voro_Stack(uint8_t* buf, int32_t* len) {
  return command_export(Command::stack, {}, buf, len);
}
int32_t KIOSKKIT_CALL Voro_Return(uint8_t* buf, int32_t* len) {
  return command_export(Command::return_bill, {}, buf, len);
}

int32_t KIOSKKIT_CALL Voro_Hold(uint8_t* buf, int32_t* len) {
  static constexpr std::array<uint8_t, 3> kHoldParams{};
  return command_export(Command::hold, kHoldParams, buf, len);
}

int32_t KIOSKKIT_CALL Voro_EnableBillType(uint32_t bill_mask, int32_t escrow, uint8_t* buf, int32_t* len) {
  return enable_export(bill_mask, static_cast<uint32_t>(escrow), buf, len);
}
int32_t KIOSKKIT_CALL Voro_EnableBill(uint8_t* buf, int32_t* len) { return enable_export(0xFF, 1, buf, len); }
int32_t KIOSKKIT_CALL Voro_EnableBillStack(uint8_t* buf, int32_t* len) {
  return enable_export(0xFF, 0, buf, len);
}
int32_t KIOSKKIT_CALL Voro_DisableBill(uint8_t* buf, int32_t* len) { return enable_export(0, 0, buf, len); }

int32_t KIOSKKIT_CALL GetSysVerion(int32_t /*unused*/, char* text) {
  if (text == nullptr) return -1;
  std::memcpy(text, kk::notecore::kVersionText, sizeof kk::notecore::kVersionText);
  return 0;
}

}  // extern "C"
