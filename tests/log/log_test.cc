// The diagnostic log: prefix, hourly file names, whole lines under
// concurrency, long messages and a missing drive.
#include "cardkit/log/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/thread.h"

namespace kk::cardkit {
namespace {

namespace fs = std::filesystem;

std::string format_line(int32_t elapsed_ms, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string format_line(int32_t elapsed_ms, const char* format, ...) {
  std::array<char, kLogLineSize> line{};
  va_list args;
  va_start(args, format);
  const size_t n = format_log_line(line, elapsed_ms, format, args);
  va_end(args);
  return std::string(line.data(), n);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kk-log-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("KIOSKKIT_DRIVE_D", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KIOSKKIT_DRIVE_D");
    fs::remove_all(dir_);
  }

  // Every line written so far, across the hourly files.
  std::vector<std::string> lines() const {
    std::vector<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      const std::string s = text.str();
      size_t start = 0;
      for (size_t end; (end = s.find("\r\n", start)) != std::string::npos; start = end + 2)
        all.push_back(s.substr(start, end - start));
      EXPECT_EQ(start, s.size()) << "a line without its line end";
    }
    return all;
  }

  fs::path dir_;
};

TEST_F(LogTest, FirstLineOfTheProcessShowsZeroElapsedTime) {
  // Each test runs in a process of its own, so this is the process's first line.
  write_log("%s\r\n", "dllInit");
  write_log("%s\tStart\r\n", "devMain");
  const auto all = lines();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], "00000000\tdllInit");
  EXPECT_EQ(all[1].substr(8), "\tdevMain\tStart");
}

TEST_F(LogTest, OneFilePerHourNamedByMonthDayAndHour) {
  EXPECT_EQ(log_file_name({2026, 12, 11, 9, 59, 59, 999}), "D://log121109.txt");
  EXPECT_EQ(log_file_name({2026, 12, 11, 10, 0, 0, 0}), "D://log121110.txt");
  EXPECT_EQ(log_file_name({2027, 1, 2, 0, 0, 0, 0}), "D://log010200.txt");

  write_log("%s\r\n", "x");
  const auto now = platform::local_time();
  const std::string name = log_file_name(now).substr(4);  // drop "D://"
  EXPECT_TRUE(fs::exists(dir_ / name) || now.minute == 0) << name;
}

TEST_F(LogTest, ElapsedTimeIsPrintedAsASignedNumber) {
  struct Case {
    int32_t elapsed;
    const char* prefix;
  };
  for (const Case c : {Case{0, "00000000\t"}, Case{1234, "00001234\t"}, Case{123456789, "123456789\t"},
                       Case{INT32_MIN, "-2147483648\t"}, Case{-1, "-0000001\t"}}) {
    EXPECT_EQ(format_line(c.elapsed, "%s", ""), c.prefix);
  }
}

TEST_F(LogTest, OverlongMessageIsCutToTheLineBufferKeepingTheLineEnd) {
  const std::string huge(10000, 'x');
  write_log("%s\r\n", huge.c_str());
  write_log("%s\r\n", "next");
  const auto all = lines();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].size(), kLogLineSize - 1 - 2);  // the buffer less terminator and "\r\n"
  EXPECT_EQ(all[0].substr(9), std::string(kLogLineSize - 1 - 2 - 9, 'x'));
  EXPECT_EQ(all[1].substr(8), "\tnext");
}

TEST_F(LogTest, MissingOrUnwritableDriveDropsTheLineQuietly) {
  unsetenv("KIOSKKIT_DRIVE_D");
  write_log("%s\r\n", "dropped");
  setenv("KIOSKKIT_DRIVE_D", (dir_ / "no-such-folder").c_str(), 1);
  write_log("%s\r\n", "dropped too");
  EXPECT_TRUE(lines().empty());
}

TEST_F(LogTest, ConcurrentWritersNeverMixWithinALine) {
  constexpr int kThreads = 6, kLines = 100;
  std::vector<platform::Thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.push_back(platform::Thread::start([t] {
      const std::string body(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) write_log("%s\t%s\t%d\r\n", "cardMain", body.c_str(), i);
    }));
  for (auto& w : writers) w.join();

  const auto all = lines();
  ASSERT_EQ(all.size(), size_t{kThreads * kLines});
  for (const auto& line : all) {
    ASSERT_GT(line.size(), 9u + 9u + 200u);
    const std::string body = line.substr(18, 200);
    EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace kk::cardkit
