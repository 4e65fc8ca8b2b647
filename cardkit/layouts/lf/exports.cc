// The C exports of the lf purse card: each checks its arguments, calls one
// C++ function and converts its result.
#include <algorithm>

#include "cardkit.h"
#include "cardkit/layouts/export_code.h"
#include "cardkit/layouts/lf/lf_card.h"

using kk::cardkit::ReaderResult;
using kk::cardkit::to_code;

namespace {

std::span<const uint8_t, 6> key6(const uint8_t* key) { return std::span<const uint8_t, 6>(key, 6); }

}  // namespace

extern "C" {

uint32_t KIOSKKIT_CALL lf_setkey_water(uint32_t /*unused*/, uint32_t sector, const uint8_t base_key[8]) {
  if (base_key == nullptr) return kk::cardkit::kRefusedCall;
  return kk::cardkit::export_code([&] {
    kk::cardkit::lf::configure(sector, std::span<const uint8_t, 8>(base_key, 8));
    return ReaderResult::ok;
  });
}

uint32_t KIOSKKIT_CALL lf_getcardkey(uint32_t serial, uint8_t key[6]) {
  if (key == nullptr) return kk::cardkit::kRefusedCall;
  return kk::cardkit::export_code([&] {
    const auto derived = kk::cardkit::lf::configured_card_key(serial);
    std::copy(derived.begin(), derived.end(), key);
    return ReaderResult::ok;
  });
}

uint32_t KIOSKKIT_CALL lf_initcard(uint32_t serial) {
  return kk::cardkit::export_code([&] { return kk::cardkit::lf::issue(serial); });
}

uint32_t KIOSKKIT_CALL lf_reclaimcard(uint32_t serial) {
  return kk::cardkit::export_code([&] { return kk::cardkit::lf::reclaim(serial); });
}

uint32_t KIOSKKIT_CALL lf_readcard(uint32_t serial, uint32_t* balance) {
  return kk::cardkit::export_code(balance, [&](uint32_t& b) { return kk::cardkit::lf::read(serial, b); });
}

uint32_t KIOSKKIT_CALL lf_charge(uint32_t serial, uint32_t amount, uint32_t* new_balance) {
  return kk::cardkit::export_code(new_balance,
                                  [&](uint32_t& b) { return kk::cardkit::lf::charge(serial, amount, b); });
}

uint32_t KIOSKKIT_CALL lf_reduce(uint32_t serial, uint32_t amount, uint32_t* new_balance) {
  return kk::cardkit::export_code(new_balance,
                                  [&](uint32_t& b) { return kk::cardkit::lf::reduce(serial, amount, b); });
}

uint32_t KIOSKKIT_CALL lf_initcardtime(uint32_t serial, const uint8_t time[6]) {
  if (time == nullptr) return kk::cardkit::kRefusedCall;
  return kk::cardkit::export_code([&] { return kk::cardkit::lf::write_time_card(serial, key6(time)); });
}

uint32_t KIOSKKIT_CALL lf_modifykey(uint32_t serial, uint8_t sector, const uint8_t new_key[6],
                                    const uint8_t current_key[6]) {
  if (new_key == nullptr || current_key == nullptr) return kk::cardkit::kRefusedCall;
  return kk::cardkit::export_code(
      [&] { return kk::cardkit::lf::modify_key(serial, sector, key6(new_key), key6(current_key)); });
}

uint32_t KIOSKKIT_CALL lf_readsect(uint32_t serial, uint32_t /*unused*/, uint32_t /*unused*/,
                                   uint32_t /*unused*/) {
  return kk::cardkit::export_code([&] { return kk::cardkit::lf::select_only(serial); });
}

uint32_t KIOSKKIT_CALL lf_writesect(uint32_t serial, uint32_t /*unused*/, uint32_t /*unused*/,
                                    uint32_t /*unused*/) {
  return kk::cardkit::export_code([&] { return kk::cardkit::lf::select_only(serial); });
}

}  // extern "C"
