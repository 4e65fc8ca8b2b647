// Time: the 32-bit millisecond tick count, sleeping and the local calendar.
#pragma once

#include <cstdint>

namespace kk::platform {

// Milliseconds of a monotonic clock, kept to 32 bits: it wraps after about
// 49.7 days, like the Windows tick count. Compare ticks by unsigned
// subtraction only.
[[nodiscard]] uint32_t tick_ms();

void sleep_ms(uint32_t ms);

struct LocalTime {
  int year;         // e.g. 2026
  int month;        // 1-12
  int day;          // 1-31
  int hour;         // 0-23
  int minute;       // 0-59
  int second;       // 0-59 (60 on a leap second)
  int millisecond;  // 0-999
};

// The current local time (TZ applies on POSIX systems).
[[nodiscard]] LocalTime local_time();

// Calendar time: seconds since 1970-01-01 00:00 UTC, 64-bit.
[[nodiscard]] int64_t unix_time_s();

// The local calendar fields of the instant `unix_s`, by the C runtime's
// time-zone rules (TZ applies on POSIX systems); millisecond is 0.
[[nodiscard]] LocalTime local_time_at(int64_t unix_s);

}  // namespace kk::platform
