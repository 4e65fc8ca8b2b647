// The C exports of the water card: each checks its arguments, calls one C++
// function and converts its result.
#include "cardkit.h"
#include "cardkit/layouts/water/water_card.h"
#include "common/boundary.h"

using kk::cardkit::ReaderResult;
using kk::cardkit::to_code;
namespace water = kk::cardkit::water;

namespace {

constexpr uint32_t kRefused = to_code(ReaderResult::bad_request);

template <typename Body>
uint32_t run(Body&& body) {
  return kk::guarded(kRefused, [&] { return uint32_t{to_code(body())}; });
}

}  // namespace

extern "C" {

uint32_t KIOSKKIT_CALL water_yks_setkey(uint32_t /*unused*/, int32_t sector, const uint8_t key[6]) {
  if (key == nullptr) return to_code(ReaderResult::argument_refused);
  return run([&] { return water::set_key(sector, std::span<const uint8_t, 6>(key, 6)); });
}

uint32_t KIOSKKIT_CALL water_initparamcard(uint32_t serial, uint8_t byte_argument, int32_t argument32,
                                           uint32_t code, int32_t argument24) {
  return run(
      [&] { return water::issue_parameter_card(serial, byte_argument, argument32, code, argument24); });
}

uint32_t KIOSKKIT_CALL water_initcard(uint32_t serial, const char* text) {
  return run([&] { return water::issue_user_card(serial, text != nullptr ? text : ""); });
}

uint32_t KIOSKKIT_CALL water_readcard(uint32_t serial, uint32_t /*unused*/, uint32_t* balance) {
  if (balance == nullptr) return kRefused;
  return run([&] {
    uint32_t b = 0;
    const ReaderResult r = water::read(serial, b);
    if (r == ReaderResult::ok) *balance = b;
    return r;
  });
}

uint32_t KIOSKKIT_CALL water_writecard(uint32_t serial, uint32_t /*unused*/, int32_t balance) {
  return run([&] { return water::write(serial, balance); });
}

uint32_t KIOSKKIT_CALL water_reclaimcard(uint32_t serial, uint32_t /*unused*/) {
  return run([&] { return water::reclaim(serial); });
}

}  // extern "C"
