// The platform services the kit builds on, against each system's
// implementation: the auto-reset event, whole-line appends, the recursive
// lock and the clock. (Drive letters differ by system: drive_test.cc on
// POSIX systems, tests/windows on Windows.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace kk::platform {
namespace {

// A name of the test's own: on Windows a named event is shared by every
// process of the session, and a cardkit loaded by a test running meanwhile
// signals its "DevListen".
std::string private_event_name() {
  return std::string("kioskkit-test-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

TEST(AutoResetEvent, SignalWithNobodyWaitingStaysSetForOneWait) {
  AutoResetEvent event(private_event_name().c_str());
  EXPECT_FALSE(event.wait(0));
  event.set();
  EXPECT_TRUE(event.wait(0));
  EXPECT_FALSE(event.wait(0)) << "auto-reset: the first wait consumed the signal";
}

TEST(AutoResetEvent, OneSignalReleasesOneWaiter) {
  AutoResetEvent event(private_event_name().c_str());
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
  const auto dir = std::filesystem::temp_directory_path() / ("kk-append-" + std::to_string(tick_ms()));
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

  int count = 0;
  {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      ASSERT_EQ(line.size(), 301u);
      EXPECT_EQ(line.find_first_not_of(line[0]), 300u) << "a line mixes two writers";
      ++count;
    }
  }  // closed before the folder goes: Windows keeps an open file
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

TEST(Thread, AnExceptionLeavingTheBodyEndsThatThreadOnly) {
  std::atomic<bool> ran{false};
  Thread thread = Thread::start([&] {
    ran = true;
    throw std::runtime_error("a bug in a thread body");
  });
  ASSERT_TRUE(thread.joinable());
  thread.join();  // the process is still here
  EXPECT_TRUE(ran.load());
}

TEST(Clock, TickCountAdvancesAcrossASleep) {
  // The Windows tick count moves in steps of up to 16 ms.
  constexpr uint32_t kResolutionMs = 16;
  const uint32_t before = tick_ms();
  sleep_ms(100);
  EXPECT_GE(static_cast<uint32_t>(tick_ms() - before), 100u - kResolutionMs);
}

}  // namespace
}  // namespace kk::platform
