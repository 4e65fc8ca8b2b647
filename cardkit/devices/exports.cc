// The C exports of the device manager and the direct block access: each
// checks its arguments, calls one C++ function and converts its result.
#include "cardkit.h"
#include "cardkit/commands/commands.h"
#include "cardkit/devices/device_manager.h"
#include "common/boundary.h"

using kk::cardkit::DeviceManager;
using kk::cardkit::ReaderResult;
using kk::cardkit::to_code;

namespace {

constexpr uint32_t kFailed = to_code(ReaderResult::no_reader);

// Runs `command` on the newest reader (0 = whatever its id) under its lock.
template <typename Command>
uint32_t on_newest_reader(uint16_t device_id, Command&& command) {
  return kk::guarded(kFailed, [&] {
    auto reader = DeviceManager::instance().acquire_reader(device_id);
    if (!reader) return kFailed;
    return uint32_t{to_code(command(reader->link))};
  });
}

}  // namespace

extern "C" {

uint32_t KIOSKKIT_CALL devlistupdate(void) {
  return kk::guarded(0u, [] { return DeviceManager::instance().take_changed() ? 1u : 0u; });
}

uint32_t KIOSKKIT_CALL readdevlist(uint16_t* ids, uint32_t capacity) {
  return kk::guarded(0u, [&] { return DeviceManager::instance().list(ids, capacity); });
}

uint32_t KIOSKKIT_CALL writedevid(uint32_t position, uint16_t new_id) {
  return kk::guarded(
      kFailed, [&] { return uint32_t{to_code(DeviceManager::instance().set_device_id(position, new_id))}; });
}

uint32_t KIOSKKIT_CALL requestCard(uint16_t* device_id, uint32_t* serial, uint32_t timeout_ms) {
  if (device_id == nullptr || serial == nullptr) return kFailed;
  return kk::guarded(kFailed, [&] {
    uint16_t id = 0;
    uint32_t card = 0;
    const ReaderResult r = DeviceManager::instance().wait_for_card(id, card, timeout_ms);
    if (r == ReaderResult::ok) {
      *device_id = id;
      *serial = card;
    }
    return uint32_t{to_code(r)};
  });
}

uint32_t KIOSKKIT_CALL M1_AuthAt(uint16_t device_id, uint32_t block, uint32_t key_selector,
                                 const uint8_t key[6]) {
  if (key == nullptr) return kFailed;
  return on_newest_reader(device_id, [&](kk::cardkit::ReaderLink& link) {
    return kk::cardkit::m1_auth(link, block, key_selector, std::span<const uint8_t, 6>(key, 6));
  });
}

uint32_t KIOSKKIT_CALL M1_ReadBlkAt(uint16_t device_id, uint32_t block, uint8_t out[16]) {
  if (out == nullptr) return kFailed;
  return on_newest_reader(device_id, [&](kk::cardkit::ReaderLink& link) {
    return kk::cardkit::m1_read_block(link, block, std::span<uint8_t, 16>(out, 16));
  });
}

uint32_t KIOSKKIT_CALL M1_WriteBlkAt(uint16_t device_id, uint32_t block, const uint8_t data[16]) {
  if (data == nullptr) return kFailed;
  return on_newest_reader(device_id, [&](kk::cardkit::ReaderLink& link) {
    return kk::cardkit::m1_write_block(link, block, std::span<const uint8_t, 16>(data, 16));
  });
}

uint32_t KIOSKKIT_CALL fmt10_beep(uint32_t serial, uint32_t first, uint32_t second) {
  return kk::guarded(kFailed, [&] {
    auto& manager = DeviceManager::instance();
    // Serial 0 takes the newest reader as it is; any other serial must be
    // the card in its field.
    auto reader = serial == 0 ? manager.newest() : manager.newest_with_card(serial);
    if (!reader) return kFailed;
    kk::cardkit::ReaderLease lease(std::move(reader));
    if (!lease->config.configured) return uint32_t{to_code(ReaderResult::not_configured)};
    // The reader's answer is not reported: the signal is a courtesy.
    (void)kk::cardkit::reader_beep(lease->link, first, second);
    return uint32_t{to_code(ReaderResult::ok)};
  });
}

}  // extern "C"
