// The export boundary. Every extern "C" shim of the kit runs its C++ body
// through guarded(), so that no exception ever reaches a C caller: anything
// thrown (an allocation failure, a bug) becomes the export's failure result.
#pragma once

#include <utility>

namespace kk {

template <typename Result, typename Body>
Result guarded(Result on_failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return on_failure;
  }
}

template <typename Body>
void guarded_void(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

}  // namespace kk
