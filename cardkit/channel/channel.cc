#include "cardkit/channel/channel.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "cardkit/crypto/triple_des.h"
#include "cardkit/transport/transport.h"
#include "common/bytes.h"

namespace kk::cardkit {
namespace {

constexpr uint8_t kCmdHello = 0x00;
constexpr uint8_t kCmdConfigRead = 0x22;
constexpr uint8_t kCmdConfigWrite = 0x23;
constexpr size_t kMinReplyFrame = 9;

constexpr uint8_t kSlotDf = 1, kSlotSectors = 2, kSlotTransportKey = 3;
constexpr std::array<uint8_t, 2> kTagDf = {0x55, 0x66};
constexpr std::array<uint8_t, 2> kTagSectors = {0x55, 0xAA};
constexpr std::array<uint8_t, 2> kTagTransportKey = {0x55, 0xCC};

bool tagged(std::span<const uint8_t, 16> slot, const std::array<uint8_t, 2>& tag) {
  return slot[0] == tag[0] && slot[1] == tag[1];
}

}  // namespace

static_assert(frame_length(kMaxCommandLength) <= static_cast<int32_t>(kMaxPayload) - 1,
              "the longest record fits a packet in the two-byte address form too");
static_assert(frame_length(kMaxCommandLength + 1) > static_cast<int32_t>(kMaxPayload));
static_assert(kMaxPayload <= sizeof(CommandRecord::reply));

namespace {

// Reports a resync takes in before it gives up on a line that never falls
// silent: more than any late reply can hold.
constexpr int kResyncDrainReports = 4 * static_cast<int>(kMaxReplyReports);

// One exchange on the link. A failure leaves the link out of step: a reply
// may still be on its way, and the reader may have acted on the request.
ReaderResult exchange(ReaderLink& link, ReaderPacket& packet, uint32_t timeout_ms) {
  switch (reader_exchange(link.hid, link.device_id.load(), packet, timeout_ms)) {
    case TransportResult::ok:
      return ReaderResult::ok;
    case TransportResult::bad_request:
      return ReaderResult::bad_request;  // nothing was sent
    case TransportResult::timed_out:
    case TransportResult::io_failed:
    case TransportResult::bad_reply:
      break;
  }
  link.in_step = false;
  return ReaderResult::link_failed;
}

// Encrypts the record into a frame, exchanges it and decrypts the reply
// into the record. The link lock is held.
ReaderResult transact_in_step(ReaderLink& link, CommandRecord& record) {
  const int32_t n = frame_length(record.length);
  ReaderPacket packet;
  packet.type = kPacketTypeCommand;
  packet.payload_length = n;
  const auto frame = std::span(packet.payload).first(static_cast<size_t>(n));
  std::copy_n(record.command.begin(), n, frame.begin());
  std::copy(link.token.begin(), link.token.end(), frame.begin() + 1);
  des_ecb_encrypt(link.link_key, frame.subspan(1));
  if (const ReaderResult r = exchange(link, packet, kCommandTimeoutMs); !succeeded(r)) return r;

  const size_t m = static_cast<size_t>(packet.payload_length);
  if (m < kMinReplyFrame) {
    // An intact packet, but no command frame: not the answer to this one.
    link.in_step = false;
    return ReaderResult::link_failed;
  }
  const auto reply = std::span(packet.payload).first(m);
  link.device_id.store(packet.address);
  std::copy(reply.begin(), reply.end(), record.reply.begin());
  // Whole blocks only: a tail shorter than a block stays as received.
  des_ecb_decrypt(link.link_key, std::span(record.reply).subspan(1, ((m - 1) / 8) * 8));
  std::copy_n(record.reply.begin() + 1, 4, link.token.begin());
  record.reply_length = static_cast<int32_t>(m);
  record.reply_data_offset = 9;
  return ReaderResult::ok;
}

// The hello command with token 0: the reader starts the link afresh. A
// failed hello leaves the token as it was, like any failed exchange.
ReaderResult hello(ReaderLink& link) {
  const auto token = std::exchange(link.token, {});
  CommandRecord record;
  record.command[0] = kCmdHello;
  std::copy(kLinkKey.begin(), kLinkKey.end(), record.command.begin() + 9);
  record.length = 17;
  const ReaderResult r = transact_in_step(link, record);
  if (!succeeded(r)) link.token = token;
  return r;
}

// Waits until the line has been silent for kResyncQuietMs, discarding every
// report that arrives. False when the device is gone or never falls silent.
bool drain(platform::HidDevice& device) {
  std::array<uint8_t, kReportSize> discard{};
  for (int taken = 0; taken <= kResyncDrainReports; ++taken) {
    switch (hid_read_report(device, discard, kResyncQuietMs)) {
      case TransportResult::ok:
        continue;
      case TransportResult::timed_out:
        return true;
      default:
        return false;
    }
  }
  return false;
}

// Brings an out-of-step link back in step: lets a late reply arrive and
// drops it, then greets the reader again so that the token is fresh.
ReaderResult bring_in_step(ReaderLink& link) {
  if (link.in_step) return ReaderResult::ok;
  if (!drain(link.hid)) return ReaderResult::link_failed;
  link.in_step = true;
  if (const ReaderResult r = hello(link); !succeeded(r)) {
    link.in_step = false;
    return ReaderResult::link_failed;
  }
  return ReaderResult::ok;
}

}  // namespace

ReaderResult reader_transact(ReaderLink& link, CommandRecord& record) {
  // Checked before any arithmetic on the length.
  if (record.length < kMinCommandLength || record.length > kMaxCommandLength)
    return ReaderResult::bad_request;
  std::lock_guard guard(link.lock);
  if (const ReaderResult r = bring_in_step(link); !succeeded(r)) return r;
  return transact_in_step(link, record);
}

ReaderResult reader_exchange_plain(ReaderLink& link, ReaderPacket& packet, uint32_t timeout_ms) {
  std::lock_guard guard(link.lock);
  if (const ReaderResult r = bring_in_step(link); !succeeded(r)) return r;
  if (const ReaderResult r = exchange(link, packet, timeout_ms); !succeeded(r)) return r;
  link.device_id.store(packet.address);
  return ReaderResult::ok;
}

ReaderResult take_reply_data(ReaderLink& link, const CommandRecord& record, std::span<uint8_t> out) {
  const auto offset = static_cast<size_t>(record.reply_data_offset);
  if (record.reply_data_offset < 0 || record.reply_length < 0 ||
      static_cast<size_t>(record.reply_length) < offset + out.size()) {
    std::lock_guard guard(link.lock);
    link.in_step = false;
    return ReaderResult::short_reply;
  }
  std::copy_n(record.reply.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return ReaderResult::ok;
}

ReaderResult reader_config_read(ReaderLink& link, uint8_t slot, std::span<uint8_t, 16> out) {
  CommandRecord record;
  record.command[0] = kCmdConfigRead;
  record.command[5] = slot;
  record.length = 9;
  if (const ReaderResult r = reader_transact(link, record); !succeeded(r)) return r;
  return take_reply_data(link, record, out);
}

ReaderResult reader_config_write(ReaderLink& link, uint8_t slot, std::span<const uint8_t, 16> data) {
  CommandRecord record;
  record.command[0] = kCmdConfigWrite;
  record.command[5] = slot;
  record.command[6] = 0x10;
  std::copy(data.begin(), data.end(), record.command.begin() + 9);
  record.length = 25;
  return reader_transact(link, record);
}

ReaderResult reader_start_link(ReaderLink& link) {
  std::lock_guard guard(link.lock);
  des_context_set_key(link.link_key, kLinkKey);
  link.in_step = true;  // freshly opened: reader_open emptied the queue
  return hello(link);
}

bool reader_load_config(ReaderLink& link, ReaderConfig& config) {
  std::array<std::array<uint8_t, 16>, 4> slots{};
  for (uint8_t slot = 0; slot < 4; ++slot) {
    if (!succeeded(reader_config_read(link, slot, slots[slot]))) return false;
  }
  // Slot 0 is read (the reader expects it) but not kept: the master key
  // stays all zero.
  const auto& df = slots[kSlotDf];
  if (tagged(df, kTagDf)) {
    config.df_version = load_u32_le(&df[2]);
    std::copy_n(df.begin() + 6, 8, config.df_id.begin());
  } else {
    config.df_version = 0;
    config.df_id = {};
  }
  const auto& sectors = slots[kSlotSectors];
  if (tagged(sectors, kTagSectors)) {
    config.sectors = {sectors[2], sectors[3], sectors[4]};
  } else {
    config.sectors = {0, 1, 2};
  }
  const auto& tk = slots[kSlotTransportKey];
  if (tagged(tk, kTagTransportKey)) {
    config.transport_key_version = load_u32_le(&tk[2]);
    std::copy_n(tk.begin() + 6, 8, config.transport_key.begin());
  } else {
    config.transport_key_version = 0;
    config.transport_key.fill(0xFF);
  }
  derive_df_key(config);
  config.configured = true;
  return true;
}

void derive_df_key(ReaderConfig& config) { des3_diversify(config.df_id, config.master_key, config.df_key); }

}  // namespace kk::cardkit
