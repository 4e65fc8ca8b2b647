// cashgate's daily call log: one line per call, "hh:mm:ss.zzz: message" and
// CR LF, appended to "C:\yyyyMMdd.txt" for the local date. The file is
// opened and closed within each line; nothing reads it back, and any failure
// to write it (no drive, no folder, a read-only file) is dropped silently so
// that it never changes a call's result.
#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kk::cashgate {

// "C:\yyyyMMdd.txt" for the date of `when`, as a drive path.
[[nodiscard]] std::string daily_log_name(const platform::LocalTime& when);

// "hh:mm:ss.zzz: " + message + "\r\n".
[[nodiscard]] std::string daily_log_line(const platform::LocalTime& when, std::string_view message);

// Appends one line for `message`, creating the log's folder (one level) and
// file when missing. The date of the file name and the time of the line are
// read separately, as the line is written. Never fails its caller: a line
// that cannot be built or written (no memory included) is dropped.
void append_daily_log(std::string_view message) noexcept;

// printf-style front of append_daily_log for the call messages; a message
// that cannot be formatted is dropped.
void log_call(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace kk::cashgate
