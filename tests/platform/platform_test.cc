// The POSIX platform services the kit builds on: drive-letter mapping,
// the auto-reset event, whole-line appends and the recursive lock.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/drive.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/msgbox.h"
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

// Runs `body` in a child process whose standard error is a pipe nobody reads
// any more, with SIGPIPE at its default action (the end of the process).
// Returns the child's wait status.
int in_child_with_stderr_closed(void (*body)()) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::close(pipe_ends[0]);
    ::dup2(pipe_ends[1], STDERR_FILENO);
    body();
    ::_exit(0);
  }
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  int status = -1;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(NoSigpipe, WritingToAStandardErrorNobodyReadsDoesNotEndTheProcess) {
  const int status = in_child_with_stderr_closed([] { show_message_box("QUILL", "no one reads this"); });
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NoSigpipe, ALogPathNamingAFifoWithoutAReaderDropsTheLineAtOnce) {
  const auto fifo = std::filesystem::temp_directory_path() / ("kk-fifo-" + std::to_string(::getpid()));
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Neither waits for a reader (which would hold the thread for ever) nor
  // ends the process.
  const int status = in_child_with_stderr_closed([] {
    const auto path = std::filesystem::temp_directory_path() / ("kk-fifo-" + std::to_string(::getppid()));
    ::_exit(append_to_file(path.string(), "dropped\r\n") ? 1 : 0);
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::filesystem::remove(fifo);
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
  const uint32_t before = tick_ms();
  sleep_ms(20);
  EXPECT_GE(static_cast<uint32_t>(tick_ms() - before), 20u);
}

}  // namespace
}  // namespace kk::platform
