// The diagnostic log: a plain-text trace of the reader threads, card
// arrivals and departures and selected card operations. One line per call,
// appended to an hourly file "D://logMMDDHH.txt" (month, day, hour), each
// line prefixed with the milliseconds elapsed since the process's first
// line. The log serves diagnosis only: nothing reads it back, and a failure
// to write it (no drive D, a read-only folder) is silently ignored.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/clock.h"

namespace kk::cardkit {

// Largest line, terminator included: a 9-character prefix and at most
// 4086 characters of message.
inline constexpr size_t kLogLineSize = 4096;

// Formats and appends one line. Messages carry their own "\r\n". Never
// fails its caller: a line that cannot be formatted or written (no drive D,
// a read-only folder, no memory) is dropped.
void write_log(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// The file a line written at `when` goes to, as a drive path.
[[nodiscard]] std::string log_file_name(const platform::LocalTime& when);

// Builds "%08d\t" + message into `line` and returns its length. A message
// that does not fit is cut, keeping its final "\r\n" so the next line still
// starts on a line of its own. 0 when the message cannot be formatted at
// all: the line is dropped rather than written without its line end.
size_t format_log_line(std::span<char, kLogLineSize> line, int32_t elapsed_ms, const char* format,
                       va_list args) __attribute__((format(printf, 3, 0)));

}  // namespace kk::cardkit
