// The patron dates: today and the end of a new patron's registration,
// 4000 days ahead, both as eight-digit YYYYMMDD integers of the local
// calendar.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace kk::patronlink {

// The end date lies this many seconds (exactly 4000 days) after now. The
// step is in seconds, not calendar days: across a change of the local
// offset a call near midnight can land one day off.
inline constexpr int64_t kEndDateOffsetSeconds = 345600000;

// year * 10000 + month (1-12) * 100 + day (1-31).
[[nodiscard]] int32_t date_number(const platform::LocalTime& t);

// The local date of the instant `unix_s`, as date_number gives it.
[[nodiscard]] int32_t local_date_at(int64_t unix_s);

// Today's local date, and the local date kEndDateOffsetSeconds from now.
[[nodiscard]] int32_t now_date();
[[nodiscard]] int32_t end_date();

}  // namespace kk::patronlink
