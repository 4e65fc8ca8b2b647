// cashgate against the validator emulator: the two values each call hands
// back, the daily log's lines, and logging failures that must not matter.
#include "cashgate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "validator_fixture.h"

namespace kk::test {
namespace {

namespace fs = std::filesystem;

std::string day_file_name(const platform::LocalTime& t) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d%02d%02d.txt", t.year, t.month, t.day);
  return name;
}

class CashgateTest : public EmulatedValidator {
 protected:
  void SetUp() override {
    EmulatedValidator::SetUp();
    char pattern[] = "/tmp/cashgate-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    // The drive's folder does not exist yet: the first line creates it.
    drive_ = root_ / "drive-c";
    setenv("KIOSKKIT_DRIVE_C", drive_.c_str(), 1);
  }
  void TearDown() override {
    TarnClosePort();
    unsetenv("KIOSKKIT_DRIVE_C");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    EmulatedValidator::TearDown();
  }

  // The lines of the day's log (the one day file in the drive's folder), each
  // checked for the time stamp and CR LF and returned without them.
  std::vector<std::string> logged_messages() {
    std::vector<std::string> messages;
    const std::string today = day_file_name(platform::local_time());
    fs::path file = drive_ / today;
    if (!fs::exists(file)) {
      // Written just before midnight: yesterday's file.
      for (const auto& entry : fs::directory_iterator(drive_)) file = entry.path();
    }
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex line_format(R"(^([0-2][0-9]):([0-5][0-9]):([0-5][0-9])\.([0-9]{3}): (.*)\r$)");
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      std::smatch match;
      if (std::regex_match(line, match, line_format)) {
        messages.push_back(match[5]);
      } else {
        messages.push_back("<malformed> " + line);
      }
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    return messages;
  }

  fs::path root_;
  fs::path drive_;
  int32_t first_ = -1;
  int32_t second_ = -1;
};

TEST_F(CashgateTest, CallsHandBackTheReplyBytesAndLogOneLineEach) {
  ASSERT_EQ(TarnOpenPort(kPort), 0);

  emulator_.send_instead_of_next_reply(frame(0x19));  // one byte: unit disabled
  EXPECT_EQ(TarnPoll(&first_, &second_), 0);
  EXPECT_EQ(first_, 25);
  EXPECT_EQ(second_, 0);

  emulator_.send_instead_of_next_reply(frame(0x80, {0x03}));  // escrow, bill type 3
  EXPECT_EQ(TarnPoll(&first_, &second_), 0);
  EXPECT_EQ(first_, 128);
  EXPECT_EQ(second_, 3);

  EXPECT_EQ(TarnReset(&first_, &second_), 0);
  EXPECT_EQ(first_, 0);
  EXPECT_EQ(second_, 0);

  // Escrow byte 2 is logged as 1 but reaches notecore as 2: escrow off.
  emulator_.clear_received();
  EXPECT_EQ(TarnEnableBillType(0x1FF, 2, &first_, &second_), 0);
  ASSERT_TRUE(emulator_.wait_for_frames(1, kFrameWaitMs));
  EXPECT_EQ(emulator_.received().at(0), frame(0x34, {0, 0, 0xFF, 0, 0, 0x00}));
  EXPECT_EQ(TarnEnableBillType(0x03, 1, &first_, &second_), 0);
  EXPECT_EQ(emulator_.escrow_types(), 0x03);

  EXPECT_EQ(TarnDisableBill(&first_, &second_), 0);
  EXPECT_EQ(TarnClosePort(), 0);

  const std::vector<std::string> expected{
      "TarnOpenPort(9)",
      "TarnPoll 25,0",
      "TarnPoll 128,3",
      "TarnReset 0,0",
      "TarnEnableBillType(255,1) 0,0",
      "TarnEnableBillType(3,1) 0,0",
      "TarnDisableBill 0,0",
      "TarnClosePort",
  };
  EXPECT_EQ(logged_messages(), expected);
}

TEST_F(CashgateTest, LaterCallsAppendToTheDaysFile) {
  fs::create_directory(drive_);
  const std::string day = day_file_name(platform::local_time());
  std::ofstream(drive_ / day, std::ios::binary) << "07:00:00.000: earlier\r\n";
  EXPECT_EQ(TarnClosePort(), 0);
  EXPECT_EQ(TarnClosePort(), 0);
  if (day_file_name(platform::local_time()) != day) GTEST_SKIP() << "midnight passed during the test";
  EXPECT_EQ(logged_messages(), (std::vector<std::string>{"earlier", "TarnClosePort", "TarnClosePort"}));
}

TEST_F(CashgateTest, FailedCallsKeepAndLogTheCallersValues) {
  // No port: the device call fails at once.
  first_ = 7;
  second_ = 9;
  EXPECT_EQ(TarnReset(&first_, &second_), -1);
  EXPECT_EQ(first_, 7);
  EXPECT_EQ(second_, 9);

  // A reply longer than the wrapper's 100-byte buffer is refused.
  ASSERT_EQ(TarnOpenPort(kPort), 0);
  emulator_.send_instead_of_next_reply(frame(0x14, Bytes(100, 0x5A)));  // 101 data bytes
  EXPECT_EQ(TarnPoll(&first_, &second_), -1);
  EXPECT_EQ(first_, 7);
  EXPECT_EQ(second_, 9);
  emulator_.send_instead_of_next_reply(frame(0x14, Bytes(99, 0x5A)));  // 100 fit
  EXPECT_EQ(TarnPoll(&first_, &second_), 0);
  EXPECT_EQ(first_, 0x14);
  EXPECT_EQ(second_, 0x5A);

  EXPECT_EQ(TarnEnableBillType(0x05, 1, nullptr, &second_), -1);

  EXPECT_EQ(logged_messages(),
            (std::vector<std::string>{"TarnReset 7,9", "TarnOpenPort(9)", "TarnPoll 7,9", "TarnPoll 20,90"}));
}

TEST_F(CashgateTest, SilentValidatorFailsAndLogsTheOldValues) {
  ASSERT_EQ(TarnOpenPort(kPort), 0);
  emulator_.set_failure(emu::Failure::silent);
  first_ = 7;
  second_ = 9;
  EXPECT_EQ(TarnPoll(&first_, &second_), -1);
  EXPECT_EQ(first_, 7);
  EXPECT_EQ(second_, 9);
  EXPECT_EQ(logged_messages(), (std::vector<std::string>{"TarnOpenPort(9)", "TarnPoll 7,9"}));
}

TEST_F(CashgateTest, UnwritableLogChangesNoResult) {
  struct Setup {
    const char* name;
    std::function<void()> prepare;
  };
  const fs::path day_file = drive_ / day_file_name(platform::local_time());
  const Setup setups[] = {
      {"read-only file",
       [&] {
         fs::create_directories(drive_);
         std::ofstream(day_file) << "";
         chmod(day_file.c_str(), 0444);
       }},
      {"a folder where the file should be", [&] { fs::create_directories(day_file); }},
      {"drive folder two levels deep", [&] { setenv("KIOSKKIT_DRIVE_C", (root_ / "a" / "b").c_str(), 1); }},
      {"no drive C", [] { unsetenv("KIOSKKIT_DRIVE_C"); }},
  };
  for (const Setup& setup : setups) {
    SCOPED_TRACE(setup.name);
    std::error_code ignored;
    fs::remove_all(drive_, ignored);
    setenv("KIOSKKIT_DRIVE_C", drive_.c_str(), 1);
    setup.prepare();

    EXPECT_EQ(TarnOpenPort(kPort), 0);
    emulator_.send_instead_of_next_reply(frame(0x19));
    first_ = second_ = -1;
    EXPECT_EQ(TarnPoll(&first_, &second_), 0);
    EXPECT_EQ(first_, 25);
    EXPECT_EQ(TarnReset(&first_, &second_), 0);
    EXPECT_EQ(TarnEnableBillType(0xFF, 1, &first_, &second_), 0);
    EXPECT_EQ(TarnDisableBill(&first_, &second_), 0);
    EXPECT_EQ(TarnClosePort(), 0);
    first_ = 4;
    EXPECT_EQ(TarnReset(&first_, &second_), -1) << "closed";
    EXPECT_EQ(first_, 4);
    if (getuid() != 0 && std::string(setup.name) == "read-only file") {
      EXPECT_EQ(fs::file_size(day_file), 0u);
    }
  }
}

}  // namespace
}  // namespace kk::test
