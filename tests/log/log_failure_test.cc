// The two log writers under failure: a line that cannot be formatted, or
// that runs out of memory on its way to the file, is dropped; it never
// throws into its caller and never changes a call's result.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cardkit/log/log.h"
#include "cashgate.h"
#include "tests/support/failing_new.h"

namespace kk::cardkit {
namespace {

namespace fs = std::filesystem;
using kk::testing::FailingAllocations;

class LogFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kk-logfail-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("KIOSKKIT_DRIVE_C", dir_.c_str(), 1);
    setenv("KIOSKKIT_DRIVE_D", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KIOSKKIT_DRIVE_C");
    unsetenv("KIOSKKIT_DRIVE_D");
    fs::remove_all(dir_);
  }

  // Everything written to the drive's files so far.
  std::string written() const {
    std::string all;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      all += text.str();
    }
    return all;
  }

  fs::path dir_;
};

TEST_F(LogFailureTest, DiagnosticLineThatCannotBeBuiltIsDroppedWhole) {
  {
    FailingAllocations no_memory;
    write_log("%s\r\n", "no memory for the file name");  // noexcept: a throw would end the test program
  }
  // A wide character the C locale cannot convert makes the message
  // impossible: no prefix-only line without its line end is left behind.
  write_log("%ls\r\n", L"\u00e9");
  EXPECT_EQ(written(), "");

  write_log("%s\r\n", "after");
  EXPECT_NE(written().find("\tafter\r\n"), std::string::npos);
}

TEST_F(LogFailureTest, CallLogThatRunsOutOfMemoryChangesNoResult) {
  // Closing a port that is not open succeeds without memory of its own;
  // only the log line needs some, and it must not turn 0 into -1.
  int32_t result = -2;
  {
    FailingAllocations no_memory;
    result = TarnClosePort();
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(written(), "");
  EXPECT_EQ(TarnClosePort(), 0);
  EXPECT_NE(written().find(": TarnClosePort\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kk::cardkit
