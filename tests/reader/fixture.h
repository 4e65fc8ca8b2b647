// Shared pieces of the reader-link tests: a private folder of emulated
// readers, a link opened straight on one of them, and waiting on a
// condition with a deadline (never on a guess of how fast the machine is).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cardkit/channel/channel.h"
#include "cardkit/transport/transport.h"
#include "emulators/reader/emulated_reader.h"
#include "platform/clock.h"

namespace kk::testing {

inline constexpr emu::Uid kUid = {0x12, 0x34, 0x56, 0x78};
inline constexpr uint32_t kSerial = 0x12345678;
inline constexpr std::array<uint8_t, 6> kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Polls `condition` until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::sleep_ms(5);
  }
  return true;
}

// A temporary folder named by KIOSKKIT_READER_DIR (and KIOSKKIT_DRIVE_D, so
// the diagnostic log of the test can be read back).
class ReaderFolder {
 public:
  ReaderFolder() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    // Socket paths are short (108 bytes): the test's name is cut to fit, and
    // the process id keeps folders of parallel tests apart.
    std::string name = std::string(test->test_suite_name()) + "-" + test->name();
    std::replace(name.begin(), name.end(), '/', '_');
    root_ = std::filesystem::temp_directory_path() /
            ("kk-" + std::to_string(getpid()) + "-" + name.substr(0, 48));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "readers");
    std::filesystem::create_directories(root_ / "log");
    setenv("KIOSKKIT_READER_DIR", readers().c_str(), 1);
    setenv("KIOSKKIT_DRIVE_D", log().c_str(), 1);
  }
  ~ReaderFolder() {
    unsetenv("KIOSKKIT_READER_DIR");
    unsetenv("KIOSKKIT_DRIVE_D");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  [[nodiscard]] std::string readers() const { return (root_ / "readers").string(); }
  [[nodiscard]] std::string log() const { return (root_ / "log").string(); }

  [[nodiscard]] std::unique_ptr<emu::EmulatedReader> plug(const std::string& name = "reader0",
                                                          uint16_t address = 0) const {
    emu::ReaderEmulatorOptions options;
    options.folder = readers();
    options.name = name;
    return std::make_unique<emu::EmulatedReader>(options, address);
  }

  // Every log line written so far (without its elapsed-time prefix and its
  // line end), in file order.
  [[nodiscard]] std::vector<std::string> log_lines() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(root_ / "log"))
      files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto tab = line.find('\t');
        lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
      }
    }
    return lines;
  }

 private:
  std::filesystem::path root_;
};

// A link opened straight on the emulated reader, without the device manager.
struct DirectLink {
  cardkit::ReaderLink link;

  bool open() {
    link.hid = cardkit::reader_open();
    return link.hid.is_open();
  }
};

}  // namespace kk::testing
