// Win32 time.
#include "platform/clock.h"

#include <windows.h>

namespace kk::platform {

uint32_t tick_ms() { return GetTickCount(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

LocalTime local_time() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace kk::platform
