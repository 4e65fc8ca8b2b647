#include "notecore/commands.h"

#include <algorithm>

#include "common/bytes.h"
#include "notecore/frame.h"

namespace kk::notecore {

ValidatorLink& validator() {
  // Built when the library loads and ended when it unloads, closing the port.
  static ValidatorLink link;
  return link;
}

bool open_port(int32_t port_number) {
  SerialPort& port = validator().port();
  // The settings of an open port are left alone, even for another number.
  if (port.is_open()) return true;
  port.configure(port_number, kPortBaud, 'N', 8, 1);
  return port.open();
}

void close_port() { (void)validator().port().close(); }

std::array<uint8_t, 6> bill_type_params(uint32_t bill_mask, uint32_t escrow_flag) {
  const uint8_t accept = static_cast<uint8_t>(bill_mask);
  const uint8_t escrow = static_cast<uint8_t>(escrow_flag) == 1 ? accept : 0;
  std::array<uint8_t, 6> params{};
  store_u24_be(params.data(), accept);
  store_u24_be(params.data() + 3, escrow);
  return params;
}

LinkCode run_command(Command command, std::span<const uint8_t> params,
                     std::span<uint8_t, kCommandAreaSize> reply, uint32_t& count) {
  count = 0;
  std::array<uint8_t, kCommandAreaSize> request{};
  std::fill(reply.begin(), reply.end(), uint8_t{0});
  const size_t length = build_frame(static_cast<uint8_t>(command), params, request);
  if (length == 0) return LinkCode::bad_request;
  return validator().exchange(std::span(request).first(length), reply, count);
}

}  // namespace kk::notecore
