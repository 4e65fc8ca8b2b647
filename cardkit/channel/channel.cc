#include "cardkit/channel/channel.h"

#include <algorithm>
#include <mutex>

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

ReaderResult reader_transact(ReaderLink& link, CommandRecord& record) {
  // A record shorter than a bare command is sent as one; a longer one than
  // a packet can carry is refused.
  const int32_t n = frame_length(std::max<int32_t>(record.length, 9));
  if (n > static_cast<int32_t>(kMaxPayload)) return ReaderResult::bad_request;

  std::lock_guard guard(link.lock);
  ReaderPacket packet;
  packet.type = kPacketTypeCommand;
  packet.payload_length = n;
  const auto frame = std::span(packet.payload).first(static_cast<size_t>(n));
  std::copy_n(record.command.begin(), n, frame.begin());
  std::copy(link.token.begin(), link.token.end(), frame.begin() + 1);
  des_ecb_encrypt(link.link_key, frame.subspan(1));
  if (reader_exchange(link.hid, link.device_id.load(), packet, kCommandTimeoutMs) != TransportResult::ok)
    return ReaderResult::link_failed;

  const size_t m = static_cast<size_t>(packet.payload_length);
  static_assert(kMaxPayload <= sizeof(CommandRecord::reply));
  if (m < kMinReplyFrame) return ReaderResult::link_failed;  // not a command frame
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

ReaderResult reader_config_read(ReaderLink& link, uint8_t slot, std::span<uint8_t, 16> out) {
  CommandRecord record;
  record.command[0] = kCmdConfigRead;
  record.command[5] = slot;
  record.length = 9;
  const ReaderResult r = reader_transact(link, record);
  if (succeeded(r)) std::copy_n(record.reply.begin() + 9, 16, out.begin());
  return r;
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
  link.token = {};
  CommandRecord hello;
  hello.command[0] = kCmdHello;
  std::copy(kLinkKey.begin(), kLinkKey.end(), hello.command.begin() + 9);
  hello.length = 17;
  return reader_transact(link, hello);
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

void derive_df_key(ReaderConfig& config) {
  des3_diversify(config.df_id, config.master_key, config.df_key);
}

}  // namespace kk::cardkit
