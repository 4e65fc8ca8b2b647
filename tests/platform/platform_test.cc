// The POSIX platform services the kit builds on: drive-letter mapping,
// the auto-reset event, whole-line appends and the recursive lock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/drive.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace kk::platform {
namespace {

struct DriveCase {
  const char* drive_c;
  const char* drive_d;
  const char* path;
  const char* expected;  // nullptr: the drive does not exist
};

TEST(DrivePath, MapsDriveLettersOntoFolders) {
  const DriveCase cases[] = {
      {nullptr, "/var/log/kiosk", "D://log121110.txt", "/var/log/kiosk/log121110.txt"},
      {"/srv/cash", nullptr, "C:\\20130205.txt", "/srv/cash/20130205.txt"},
      {"/srv/cash/", nullptr, "C:\\a\\\\b//c.txt", "/srv/cash/a/b/c.txt"},
      {"/srv/cash", nullptr, "c:\\lower.txt", "/srv/cash/lower.txt"},
      {"/srv/cash", nullptr, "relative/name.txt", "relative/name.txt"},
      {nullptr, nullptr, "D://log121110.txt", nullptr},
      {"", "", "C:\\x.txt", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.drive_c) setenv("KIOSKKIT_DRIVE_C", c.drive_c, 1); else unsetenv("KIOSKKIT_DRIVE_C");
    if (c.drive_d) setenv("KIOSKKIT_DRIVE_D", c.drive_d, 1); else unsetenv("KIOSKKIT_DRIVE_D");
    const auto resolved = resolve_drive_path(c.path);
    if (c.expected == nullptr) {
      EXPECT_FALSE(resolved.has_value());
    } else {
      ASSERT_TRUE(resolved.has_value());
      EXPECT_EQ(*resolved, c.expected);
    }
  }
  unsetenv("KIOSKKIT_DRIVE_C");
  unsetenv("KIOSKKIT_DRIVE_D");
}

TEST(AutoResetEvent, SignalWithNobodyWaitingStaysSetForOneWait) {
  AutoResetEvent event("DevListen");
  EXPECT_FALSE(event.wait(0));
  event.set();
  EXPECT_TRUE(event.wait(0));
  EXPECT_FALSE(event.wait(0)) << "auto-reset: the first wait consumed the signal";
}

TEST(AutoResetEvent, OneSignalReleasesOneWaiter) {
  AutoResetEvent event("DevListen");
  std::atomic<int> released{0};
  std::vector<Thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.push_back(Thread::start([&] {
      if (event.wait(1500)) ++released;
    }));
  sleep_ms(100);
  event.set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 1);
}

TEST(AppendToFile, ConcurrentAppendsKeepEveryLineWhole) {
  const auto dir = std::filesystem::temp_directory_path() / ("kk-append-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "lines.txt").string();
  constexpr int kThreads = 4, kLines = 200;
  std::vector<Thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.push_back(Thread::start([&, t] {
      const std::string line = std::string(300, static_cast<char>('a' + t)) + "\r\n";
      for (int i = 0; i < kLines; ++i) ASSERT_TRUE(append_to_file(path, line));
    }));
  for (auto& t : writers) t.join();

  std::ifstream in(path, std::ios::binary);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ASSERT_EQ(line.size(), 301u);
    EXPECT_EQ(line.find_first_not_of(line[0]), 300u) << "a line mixes two writers";
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  std::filesystem::remove_all(dir);
}

TEST(AppendToFile, FailsWhenTheFolderIsMissing) {
  EXPECT_FALSE(append_to_file("/nonexistent-kioskkit-folder/x.txt", "line\r\n"));
}

TEST(RecursiveLock, OwnerMayTakeItAgainOthersWait) {
  RecursiveLock lock;
  std::lock_guard outer(lock);
  std::lock_guard inner(lock);
  bool other_got_it = true;
  Thread::start([&] {
    other_got_it = lock.try_lock();
    if (other_got_it) lock.unlock();
  }).join();
  EXPECT_FALSE(other_got_it);
}

TEST(Clock, TickCountAdvancesAcrossASleep) {
  const uint32_t before = tick_ms();
  sleep_ms(20);
  EXPECT_GE(static_cast<uint32_t>(tick_ms() - before), 20u);
}

}  // namespace
}  // namespace kk::platform
