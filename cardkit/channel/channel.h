// The encrypted command channel. Every command the kit sends to a reader is
// a CommandRecord; reader_transact encrypts it into a command frame (DES
// under the link key shared by all readers, with the 32-bit link token the
// reader renewed in its last reply), carries it in one packet exchange and
// hands back the decrypted reply frame in the same record.
//
// This unit also brings a freshly opened reader up (hello command, then the
// four configuration slots) and keeps what the slots say in ReaderConfig.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "cardkit/channel/result.h"
#include "cardkit/crypto/des.h"
#include "platform/hid.h"
#include "platform/sync.h"

namespace kk::cardkit {

// Every frame is encrypted under this key; it is the same for every reader.
inline constexpr std::array<uint8_t, 8> kLinkKey = {'M', 'O', 'S', 'S', 'G', 'L', 'E', 'N'};


// One command and, after reader_transact, its decrypted reply. Callers
// leave command bytes 0-8 zero before filling in their own.
struct CommandRecord {
  std::array<uint8_t, 512> command{};  // byte 0 code, 1-4 token, 5-7 parameters, 9.. data
  int32_t length = 9;                  // 9 + number of data bytes
  std::array<uint8_t, 512> reply{};    // the whole decrypted reply frame
  int32_t reply_length = 0;
  int32_t reply_data_offset = 9;
};

// The link state of one reader. All traffic with the reader happens under
// `lock`; card operations hold it across several commands and the lock is
// recursive, so reader_transact takes it once more.
struct ReaderLink {
  platform::HidDevice hid;  // closed when the reader is retired
  // Replaced by the address of every good reply. Written under `lock`, but
  // read by reader selection without it, hence atomic.
  std::atomic<uint16_t> device_id{0};
  platform::RecursiveLock lock;
  DesKeyContext link_key;
  std::array<uint8_t, 4> token{};  // replaced by every good reply
};

// What a reader's configuration slots say, read once when it is attached.
struct ReaderConfig {
  bool configured = false;              // all four slots were read
  std::array<uint8_t, 16> master_key{}; // always zero
  std::array<uint8_t, 8> df_id{};
  uint32_t df_version = 0;
  std::array<uint8_t, 8> transport_key{};  // first six bytes: the key of blank cards
  uint32_t transport_key_version = 0;
  std::array<uint8_t, 3> sectors{};        // the three fmt10 layout sectors
  std::array<uint8_t, 16> df_key{};        // the root of every fmt10 card key
};

// Frame length for a record of `length` meaningful bytes: the bytes after
// the command code, rounded up to whole DES blocks (at least one).
[[nodiscard]] constexpr int32_t frame_length(int32_t length) { return ((length - 2) / 8) * 8 + 9; }

// Sends `record` and receives its reply: ok when an intact reply of at least
// 9 bytes came back (its own status byte is for the caller to judge);
// bad_request when the record cannot be carried, link_failed otherwise. A failure changes neither the token, the device id nor
// the record's reply.
ReaderResult reader_transact(ReaderLink& link, CommandRecord& record);

// Command 0x22: the 16 bytes of configuration slot `slot`.
ReaderResult reader_config_read(ReaderLink& link, uint8_t slot, std::span<uint8_t, 16> out);
// Command 0x23: replaces configuration slot `slot`.
ReaderResult reader_config_write(ReaderLink& link, uint8_t slot, std::span<const uint8_t, 16> data);

// Link start-up of a freshly opened reader: link key, token 0, hello
// command. Anything but ok means the reader is not to be attached.
ReaderResult reader_start_link(ReaderLink& link);

// Reads slots 0 to 3 and fills `config`: true when all four were read.
// When a read fails, `config` is left as it was.
[[nodiscard]] bool reader_load_config(ReaderLink& link, ReaderConfig& config);

// DF key <- the DF identifier diversified under the master key.
void derive_df_key(ReaderConfig& config);

}  // namespace kk::cardkit
