// Win32 time.
#include "platform/clock.h"

#include <windows.h>

#include <time.h>

namespace kk::platform {

uint32_t tick_ms() { return GetTickCount(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

LocalTime local_time() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

int64_t unix_time_s() { return static_cast<int64_t>(_time64(nullptr)); }

// The C runtime's rules (TZ, else the system zone), not GetLocalTime: the
// patron dates are defined by the runtime's conversion.
LocalTime local_time_at(int64_t unix_s) {
  const __time64_t t = unix_s;
  tm fields{};
  _localtime64_s(&fields, &t);
  return LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                   fields.tm_min,         fields.tm_sec,     0};
}

}  // namespace kk::platform
