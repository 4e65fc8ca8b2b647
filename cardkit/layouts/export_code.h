// The boundary of the card-layout exports: runs a layout operation for its
// C shim and gives its C code, 1 for anything thrown. Arguments the C code
// refuses before the operation runs (a NULL pointer it would use) are also 1.
#pragma once

#include <cstdint>

#include "cardkit/channel/result.h"
#include "common/boundary.h"

namespace kk::cardkit {

inline constexpr uint32_t kRefusedCall = to_code(ReaderResult::bad_request);

template <typename Operation>
uint32_t export_code(Operation&& operation) {
  return kk::guarded(kRefusedCall, [&] { return uint32_t{to_code(operation())}; });
}

// The same for an operation with one 32-bit output, written to `*out` only
// when the operation succeeded; a NULL `out` is refused before it runs.
template <typename Operation>
uint32_t export_code(uint32_t* out, Operation&& operation) {
  if (out == nullptr) return kRefusedCall;
  return export_code([&] {
    uint32_t value = 0;
    const ReaderResult r = operation(value);
    if (succeeded(r)) *out = value;
    return r;
  });
}

}  // namespace kk::cardkit
