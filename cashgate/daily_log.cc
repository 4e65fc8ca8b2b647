#include "cashgate/daily_log.h"

#include <cstdarg>
#include <cstdio>

#include "common/boundary.h"
#include "platform/drive.h"
#include "platform/files.h"

namespace kk::cashgate {

std::string daily_log_name(const platform::LocalTime& when) {
  char name[32];
  std::snprintf(name, sizeof name, "C:\\%04d%02d%02d.txt", when.year % 10000, when.month % 100,
                when.day % 100);
  return name;
}

std::string daily_log_line(const platform::LocalTime& when, std::string_view message) {
  char stamp[24];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d: ", when.hour % 100, when.minute % 100,
                when.second % 100, when.millisecond % 1000);
  std::string line(stamp);
  line += message;
  line += "\r\n";
  return line;
}

void append_daily_log(std::string_view message) noexcept {
  // Names and lines are built on the heap: running out of memory (or
  // anything else thrown on the way) loses the line, never the call.
  guarded_void([message] {
    const auto path = platform::resolve_drive_path(daily_log_name(platform::local_time()));
    if (!path) return;  // no drive C: no log
    const size_t slash = path->find_last_of("/\\");
    if (slash != std::string::npos && slash > 0) (void)platform::make_directory(path->substr(0, slash));
    (void)platform::append_to_file(*path, daily_log_line(platform::local_time(), message));
  });
}

void log_call(const char* format, ...) noexcept {
  char message[160];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (length < 0) return;
  append_daily_log(message);
}

}  // namespace kk::cashgate
