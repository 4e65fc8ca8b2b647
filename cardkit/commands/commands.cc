#include "cardkit/commands/commands.h"

#include <algorithm>
#include <array>

#include "common/bytes.h"
#include "platform/clock.h"

namespace kk::cardkit {
namespace {

constexpr uint8_t kCmdCardRequest = 0x01;
constexpr uint8_t kCmdBeep = 0x16;
constexpr uint8_t kCmdMifare = 0x14;
constexpr uint8_t kMifareAuth = 1, kMifareRead = 2, kMifareWrite = 3;
constexpr uint32_t kRetryPauseMs = 10;

constexpr size_t kStatus = 7;      // status of most commands: 0 = not done
constexpr size_t kAuthStatus = 8;  // status of the authentication command
constexpr size_t kData = 9;        // command data

CommandRecord command(uint8_t code, uint8_t sub, uint8_t p1, uint8_t p2, int32_t length) {
  CommandRecord r;
  r.command[0] = code;
  r.command[5] = sub;
  r.command[6] = p1;
  r.command[7] = p2;
  r.length = length;
  return r;
}

// Runs `record`; a transport failure is passed on, a reply whose status
// byte is 0 becomes `refused`.
ReaderResult run(ReaderLink& link, CommandRecord& record, size_t status_byte, ReaderResult refused) {
  const ReaderResult r = reader_transact(link, record);
  if (!succeeded(r)) return r;
  return record.reply[status_byte] != 0 ? ReaderResult::ok : refused;
}

uint8_t low_byte(uint32_t v) { return static_cast<uint8_t>(v); }

}  // namespace

ReaderResult card_request(ReaderLink& link, uint32_t& serial) {
  auto record = command(kCmdCardRequest, 0, 0, 0, 9);
  if (const ReaderResult r = run(link, record, kStatus, ReaderResult::no_card); !succeeded(r)) return r;
  std::array<uint8_t, 4> serial_be{};
  if (const ReaderResult r = take_reply_data(link, record, serial_be); !succeeded(r)) return r;
  serial = load_u32_be(serial_be.data());
  return ReaderResult::ok;
}

ReaderResult reader_beep(ReaderLink& link, uint32_t first, uint32_t second) {
  auto record = command(kCmdBeep, 1, 0, 0, 17);
  store_u32_be(&record.command[kData], first);
  store_u32_be(&record.command[kData + 4], second * 2u);
  return run(link, record, kStatus, ReaderResult::write_failed);
}

ReaderResult m1_auth(ReaderLink& link, uint32_t block, uint32_t key_selector, MifareKey key) {
  auto record = command(kCmdMifare, kMifareAuth, low_byte(block), low_byte(key_selector), 15);
  std::copy(key.begin(), key.end(), record.command.begin() + kData);
  return run(link, record, kAuthStatus, ReaderResult::auth_failed);
}

ReaderResult m1_read_block(ReaderLink& link, uint32_t block, std::span<uint8_t, 16> out) {
  auto record = command(kCmdMifare, kMifareRead, low_byte(block), 0, 9);
  if (const ReaderResult r = run(link, record, kStatus, ReaderResult::read_failed); !succeeded(r)) return r;
  return take_reply_data(link, record, out);
}

ReaderResult m1_write_block(ReaderLink& link, uint32_t block, std::span<const uint8_t, 16> data) {
  auto record = command(kCmdMifare, kMifareWrite, low_byte(block), 0, 25);
  std::copy(data.begin(), data.end(), record.command.begin() + kData);
  return run(link, record, kStatus, ReaderResult::write_failed);
}

namespace {

// The authentication step of the sector helpers: once more after a pause.
bool authenticate_sector(ReaderLink& link, uint32_t sector, uint8_t mask, MifareKey key) {
  if ((mask & kMaskAuthenticate) == 0) return true;
  const uint32_t selector = (mask & kMaskKeyA) != 0 ? kKeyA : kKeyB;
  if (succeeded(m1_auth(link, sector * 4, selector, key))) return true;
  platform::sleep_ms(kRetryPauseMs);
  return succeeded(m1_auth(link, sector * 4, selector, key));
}

}  // namespace

ReaderResult m1_read_sector(ReaderLink& link, uint32_t sector, uint8_t mask, MifareKey key,
                            std::span<uint8_t, 48> out) {
  if (!authenticate_sector(link, sector, mask, key)) return ReaderResult::auth_failed;
  for (uint32_t i = 0; i < 3; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    const uint32_t block = low_byte(sector * 4 + i);
    auto dest = out.subspan(16 * i).first<16>();
    if (!succeeded(m1_read_block(link, block, dest)) && !succeeded(m1_read_block(link, block, dest)))
      return ReaderResult::read_failed;
  }
  return ReaderResult::ok;
}

ReaderResult m1_write_sector(ReaderLink& link, uint32_t sector, uint8_t mask, MifareKey key,
                             std::span<const uint8_t, 48> data) {
  if (!authenticate_sector(link, sector, mask, key)) return ReaderResult::auth_failed;
  for (uint32_t i = 0; i < 3; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    const uint32_t block = low_byte(sector * 4 + i);
    const auto src = data.subspan(16 * i).first<16>();
    if (!succeeded(m1_write_block(link, block, src)) && !succeeded(m1_write_block(link, block, src)))
      return ReaderResult::read_failed;  // the helpers report 17 for a block that failed twice
  }
  return ReaderResult::ok;
}

ReaderResult m1_write_trailer(ReaderLink& link, uint32_t block, std::span<const uint8_t, 16> data,
                              MifareKey key) {
  if (succeeded(m1_auth(link, block, kKeyA, key)) && succeeded(m1_write_block(link, block, data)))
    return ReaderResult::ok;
  platform::sleep_ms(kRetryPauseMs);
  // The failed attempt left the card unselected: select it again, then try
  // the same six bytes as key B.
  uint32_t serial = 0;
  if (!succeeded(card_request(link, serial))) return ReaderResult::auth_failed;
  if (!succeeded(m1_auth(link, block, kKeyB, key))) return ReaderResult::auth_failed;
  if (!succeeded(m1_write_block(link, block, data))) return ReaderResult::auth_failed;
  return ReaderResult::ok;
}

}  // namespace kk::cardkit
