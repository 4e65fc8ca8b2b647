// POSIX time: CLOCK_MONOTONIC for ticks, localtime_r for the calendar.
#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace kk::platform {

uint32_t tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void sleep_ms(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

LocalTime local_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  localtime_r(&now.tv_sec, &fields);
  return LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                   fields.tm_min,         fields.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

int64_t unix_time_s() { return static_cast<int64_t>(time(nullptr)); }

LocalTime local_time_at(int64_t unix_s) {
  const time_t t = static_cast<time_t>(unix_s);
  tm fields{};
  localtime_r(&t, &fields);
  return LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                   fields.tm_min,         fields.tm_sec,     0};
}

}  // namespace kk::platform
