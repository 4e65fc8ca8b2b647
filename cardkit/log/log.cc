#include "cardkit/log/log.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "common/boundary.h"
#include "platform/drive.h"
#include "platform/files.h"
#include "platform/sync.h"

namespace kk::cardkit {
namespace {

// 0 until the first line; then the tick count of that line. A process that
// starts exactly at tick 0 re-arms on its next line, which is harmless.
std::atomic<uint32_t> g_start_tick{0};

// Built on first use (the library's start routine logs first of all, so it
// outlives the reader threads, which are stopped before it goes).
platform::RecursiveLock& append_lock() {
  static platform::RecursiveLock lock;
  return lock;
}

}  // namespace

std::string log_file_name(const platform::LocalTime& when) {
  char name[32];
  std::snprintf(name, sizeof name, "D://log%02d%02d%02d.txt", when.month % 100, when.day % 100,
                when.hour % 100);
  return name;
}

size_t format_log_line(std::span<char, kLogLineSize> line, int32_t elapsed_ms, const char* format,
                       va_list args) {
  int prefix = std::snprintf(line.data(), line.size(), "%08d\t", elapsed_ms);
  if (prefix < 0) return 0;
  const size_t used = static_cast<size_t>(prefix);
  const int wanted = std::vsnprintf(line.data() + used, line.size() - used, format, args);
  if (wanted < 0) return 0;
  const size_t room = line.size() - used - 1;
  if (static_cast<size_t>(wanted) <= room) return used + static_cast<size_t>(wanted);

  // Cut to fit; keep the line end the message asked for.
  const size_t length = line.size() - 1;
  const std::string_view fmt(format);
  if (fmt.size() >= 2 && fmt.substr(fmt.size() - 2) == "\r\n") {
    line[length - 2] = '\r';
    line[length - 1] = '\n';
  }
  line[length] = '\0';
  return length;
}

namespace {

void append_line(std::string_view line) {
  const auto path = platform::resolve_drive_path(log_file_name(platform::local_time()));
  if (!path) return;  // no drive D: the line is dropped
  // One append per line. The lock keeps the threads of this process from
  // interleaving where the system's append is not a single step; a failed
  // write is deliberately ignored.
  std::lock_guard guard(append_lock());
  (void)platform::append_to_file(*path, line);
}

}  // namespace

void write_log(const char* format, ...) noexcept {
  const uint32_t now = platform::tick_ms();
  uint32_t start = g_start_tick.load();
  // The first writer fixes the start; a racing writer adopts its value.
  if (start == 0 && g_start_tick.compare_exchange_strong(start, now)) start = now;

  std::array<char, kLogLineSize> line;
  va_list args;
  va_start(args, format);
  const size_t length = format_log_line(line, static_cast<int32_t>(now - start), format, args);
  va_end(args);
  if (length == 0) return;
  // Naming the file allocates: running out of memory (or anything else
  // thrown on the way) loses the line and nothing more.
  guarded_void([&] { append_line(std::string_view(line.data(), length)); });
}

}  // namespace kk::cardkit
