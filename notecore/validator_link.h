// The validator link: one request frame out, one reply frame back, and the
// host's acknowledgement where the protocol wants one. Every validator command
// passes through exchange(), which owns the deadlines (a second for the
// reply to start, ten for it to finish), the single resend after a reply that
// does not start like a frame, the CRC check, and the refusal of replies that
// could not be held. The process has one link, for one validator on one port.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "notecore/serial_port.h"

namespace kk::notecore {

enum class LinkCode : uint16_t {
  ok = 0x0000,
  write_failed = 0xFFFE,    // the port refused the request
  no_header = 0xFFFD,       // no reply within 1 s, or two replies not starting 02 03
  no_body = 0xFFFC,         // the reply started but did not finish in time
  ack_failed = 0xFFFB,      // the port refused the acknowledgement
  bad_crc = 0xFFFA,         // the reply's CRC is wrong
  busy = 0xFFF9,            // an exchange is already under way on this link
  bad_length = 0xFFF8,      // the reply's length byte is too small for a frame
  reply_too_long = 0xFFF7,  // the reply's data do not fit the caller's buffer
  bad_request = 0xFFF5,     // the request is not a frame this link can send
};

// Commands whose reply carries data the host acknowledges.
[[nodiscard]] bool command_wants_ack(uint8_t command);

class ValidatorLink {
 public:
  virtual ~ValidatorLink();  // closes the port

  [[nodiscard]] SerialPort& port() { return port_; }

  // Sends `request` (a whole frame, CRC included) and collects the reply.
  // On ok the reply's data (from the command position to the byte before the
  // CRC) are at the start of `data` and their number is in `count`; on any
  // other code `data` is untouched and `count` is 0. A reply whose data would
  // not fit in `data` is refused (and not acknowledged). A call made while an
  // exchange is under way (from a window-message handler run by the wait) is
  // refused with `busy` and leaves the exchange under way undisturbed.
  [[nodiscard]] LinkCode exchange(std::span<const uint8_t> request, std::span<uint8_t> data, uint32_t& count);

 private:
  [[nodiscard]] LinkCode exchange_once(std::span<const uint8_t> request, std::span<uint8_t> data,
                                       uint32_t& count);

  SerialPort port_;
  std::array<uint8_t, kReceiveBufferSize> reply_frame_{};
  uint8_t body_wait_s_ = 10;
  bool busy_ = false;
};

}  // namespace kk::notecore
