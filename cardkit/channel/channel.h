// The encrypted command channel. Every command the kit sends to a reader is
// a CommandRecord; reader_transact encrypts it into a command frame (DES
// under the link key shared by all readers, with the 32-bit link token the
// reader renewed in its last reply), carries it in one packet exchange and
// hands back the decrypted reply frame in the same record.
//
// This unit also brings a freshly opened reader up (hello command, then the
// four configuration slots) and keeps what the slots say in ReaderConfig.
//
// Keeping the link in step. A reply carries nothing of the request it
// answers (byte 0 is not part of the protocol), so the kit keeps request
// and reply in step by itself:
//  - reports already queued when a request goes out belong to no request of
//    ours and are discarded first (reader_exchange does this);
//  - an exchange that failed (time-out, broken or foreign reply) may still
//    be answered later, and the reader may have renewed its token meanwhile:
//    the link is then out of step. Before its next request the kit waits for
//    the line to fall silent, discarding what arrives, and greets the reader
//    again (hello, token 0), so the next command starts on a fresh token and
//    a late reply is never taken as the answer to a later request.
// A reply too short for the data its command takes from it counts as a
// foreign reply too.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "cardkit/channel/result.h"
#include "cardkit/crypto/des.h"
#include "cardkit/transport/transport.h"
#include "platform/hid.h"
#include "platform/sync.h"

namespace kk::cardkit {

// Every frame is encrypted under this key; it is the same for every reader.
inline constexpr std::array<uint8_t, 8> kLinkKey = {'M', 'O', 'S', 'S', 'G', 'L', 'E', 'N'};

// Bounds of a command record's length: a bare command (code, token,
// parameters), and the longest record whose frame a 300-byte packet carries
// in either address form.
inline constexpr int32_t kMinCommandLength = 9;
inline constexpr int32_t kMaxCommandLength = 289;

// How long the line must stay silent before an out-of-step link is greeted
// again: a reply later than the exchange's time-out by up to this much is
// taken in and discarded.
inline constexpr uint32_t kResyncQuietMs = 1000;

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
  // False after an exchange failed: a reply may still be on its way. The
  // next request first brings the link back in step (see above).
  bool in_step = true;
};

// What a reader's configuration slots say, read once when it is attached.
struct ReaderConfig {
  bool configured = false;               // all four slots were read
  std::array<uint8_t, 16> master_key{};  // always zero
  std::array<uint8_t, 8> df_id{};
  uint32_t df_version = 0;
  std::array<uint8_t, 8> transport_key{};  // first six bytes: the key of blank cards
  uint32_t transport_key_version = 0;
  std::array<uint8_t, 3> sectors{};  // the three fmt10 layout sectors
  std::array<uint8_t, 16> df_key{};  // the root of every fmt10 card key
};

// Frame length for a record of `length` meaningful bytes: the bytes after
// the command code, rounded up to whole DES blocks (at least one).
[[nodiscard]] constexpr int32_t frame_length(int32_t length) { return ((length - 2) / 8) * 8 + 9; }

// Sends `record` and receives its reply: ok when an intact reply of at least
// 9 bytes came back (its own status byte is for the caller to judge).
// bad_request, with nothing sent, when the record's length is below
// kMinCommandLength or above kMaxCommandLength; link_failed when the link
// could not be brought back in step or the exchange failed. A failure
// changes neither the token, the device id nor the record's reply.
ReaderResult reader_transact(ReaderLink& link, CommandRecord& record);

// A plain packet (not encrypted, no token) and its reply, such as the
// set-address request, under the same rules: the link is brought back in
// step first, a failure leaves it out of step, and a good reply's address
// becomes the device id. ok, bad_request or link_failed.
ReaderResult reader_exchange_plain(ReaderLink& link, ReaderPacket& packet, uint32_t timeout_ms);

// The `out.size()` data bytes of a good reply (from byte 9 on). short_reply
// when the reply does not reach that far: it cannot be this command's
// answer, so the link counts as out of step.
ReaderResult take_reply_data(ReaderLink& link, const CommandRecord& record, std::span<uint8_t> out);

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
