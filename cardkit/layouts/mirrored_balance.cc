#include "cardkit/layouts/mirrored_balance.h"

#include <algorithm>

#include "cardkit/layouts/sectors.h"

namespace kk::cardkit {
namespace {

constexpr unsigned kBalance = 0, kBackup = 2;
constexpr uint8_t kKeyASession = kMaskAuthenticate | kMaskKeyA;

std::span<uint8_t, 16> block(std::span<uint8_t, 48> image, unsigned i) {
  return image.subspan(16 * i).first<16>();
}

}  // namespace

CopyChoice choose_copy(std::span<uint8_t, 48> image, const BalanceCheck& valid) {
  const auto balance = block(image, kBalance);
  const auto backup = block(image, kBackup);
  if (valid(balance)) {
    if (std::equal(balance.begin(), balance.end(), backup.begin())) return CopyChoice::in_step;
    std::copy(balance.begin(), balance.end(), backup.begin());
    return CopyChoice::stale_backup;
  }
  if (!valid(backup)) return CopyChoice::neither;
  std::copy(backup.begin(), backup.end(), balance.begin());
  return CopyChoice::backup_only;
}

ReaderResult load_mirrored_balance(ReaderLink& link, uint32_t sector, MifareKey key_a,
                                   const BalanceCheck& valid, std::span<uint8_t, 48> image) {
  if (const ReaderResult r = m1_read_sector(link, sector, kKeyASession | 0x07, key_a, image); !succeeded(r))
    return r;
  switch (choose_copy(image, valid)) {
    case CopyChoice::in_step:
    case CopyChoice::backup_only:
      return ReaderResult::ok;
    case CopyChoice::stale_backup:
      return succeeded(m1_write_sector(link, sector, kKeyASession | (1u << kBackup), key_a, image))
                 ? ReaderResult::ok
                 : ReaderResult::backup_not_refreshed;
    case CopyChoice::neither:
      break;
  }
  return ReaderResult::card_data_invalid;
}

ReaderResult write_mirrored_balance(ReaderLink& link, uint32_t sector, MifareKey key_a,
                                    std::span<uint8_t, 48> image) {
  const auto balance = block(image, kBalance);
  std::copy(balance.begin(), balance.end(), block(image, kBackup).begin());
  return write_balance_then_backup(link, sector, kKeyASession, key_a, image, kBalance, kBackup);
}

}  // namespace kk::cardkit
