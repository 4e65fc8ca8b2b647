#include "notecore/validator_link.h"

#include <cstring>

#include "common/bytes.h"
#include "notecore/frame.h"

namespace kk::notecore {

namespace {
constexpr uint32_t kHeaderWaitS = 1;
constexpr uint8_t kBodyWaitS = 10;
constexpr int kHeaderAttempts = 2;
}  // namespace

bool command_wants_ack(uint8_t command) {
  switch (command) {
    case 0x31:
    case 0x33:
    case 0x37:
    case 0x41:
    case 0xC7:
    case 0xC8:
      return true;
    default:
      return false;
  }
}

ValidatorLink::~ValidatorLink() { port_.close(); }

LinkCode ValidatorLink::exchange(std::span<const uint8_t> request, std::span<uint8_t> data, uint32_t& count) {
  count = 0;
  if (busy_) return LinkCode::busy;
  busy_ = true;
  const LinkCode code = exchange_once(request, data, count);
  busy_ = false;
  return code;
}

LinkCode ValidatorLink::exchange_once(std::span<const uint8_t> request, std::span<uint8_t> data,
                                      uint32_t& count) {
  reply_frame_.fill(0);
  port_.clear_received();
  body_wait_s_ = kBodyWaitS;
  if (request.size() < kMinFrameSize || request.size() > kReceiveBufferSize) return LinkCode::bad_request;
  const uint8_t command = request[3];

  port_.purge_rx();
  port_.purge_tx();
  if (!port_.write(request)) return LinkCode::write_failed;

  // The header. A silent validator is not asked again; one that answers with
  // something that is not a frame start gets the request once more.
  for (int attempt = 0;;) {
    const ReadCode read = port_.wait_read(kHeaderSize, kHeaderWaitS);
    if (read == ReadCode::timeout) return LinkCode::no_header;
    const auto got = port_.received();
    if (read == ReadCode::ok && got[0] == kSync && got[1] == kValidatorAddress) break;
    if (++attempt >= kHeaderAttempts) return LinkCode::no_header;
    port_.purge_rx();
    port_.purge_tx();
    if (!port_.write(request)) return LinkCode::write_failed;
  }
  std::memcpy(reply_frame_.data(), port_.received().data(), kHeaderSize);
  const size_t length = reply_frame_[2];
  // Shorter than its own header and CRC, a reply describes no frame (and no
  // such length can carry a matching CRC); refuse it before counting a body.
  if (length < kMinReplySize) {
    port_.purge_rx();
    return LinkCode::bad_length;
  }

  const size_t body = length - kHeaderSize;
  if (port_.wait_read(body, body_wait_s_) == ReadCode::timeout) return LinkCode::no_body;
  std::memcpy(reply_frame_.data() + kHeaderSize, port_.received().data(), body);

  const auto frame = std::span<const uint8_t>(reply_frame_).first(length);
  if (load_u16_le(frame.data() + length - kCrcSize) != frame_crc(frame.first(length - kCrcSize)))
    return LinkCode::bad_crc;

  // Checked before the acknowledgement: a validator repeats a reply the host
  // did not acknowledge, so refusing it here loses nothing.
  const size_t data_size = length - kMinReplySize;
  if (data_size > data.size()) return LinkCode::reply_too_long;

  if (command_wants_ack(command) && !port_.write(kAckFrame)) return LinkCode::ack_failed;

  if (data_size > 0) std::memcpy(data.data(), frame.data() + kHeaderSize, data_size);
  count = static_cast<uint32_t>(data_size);
  return LinkCode::ok;
}

}  // namespace kk::notecore
