// Test support: a validator emulator on a real pseudo-terminal, reachable as
// COM9 through KIOSKKIT_COM9, and helpers to write and compare frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "emulators/validator/validator_emulator.h"
#include "notecore/frame.h"

namespace kk::test {

using Bytes = std::vector<uint8_t>;

// "02 03 06 33 DA 81" -> bytes.
inline Bytes hex(const std::string& text) {
  Bytes bytes;
  std::istringstream words(text);
  std::string word;
  while (words >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  return bytes;
}

// A whole frame with `code` and `data`, CRC included.
inline Bytes frame(uint8_t code, const Bytes& data = {}) {
  Bytes out(notecore::kMaxFrameSize);
  out.resize(notecore::build_frame(code, data, out));
  return out;
}

inline const Bytes kAck = hex("02 03 06 00 C2 82");

// Generous: the machine running the tests may be loaded.
inline constexpr uint32_t kFrameWaitMs = 10000;

class EmulatedValidator : public ::testing::Test {
 protected:
  static constexpr int32_t kPort = 9;

  explicit EmulatedValidator(int initialising_polls = 0)
      : emulator_(emu::ValidatorEmulator::Options{initialising_polls, 2500}) {}

  void SetUp() override {
    ASSERT_TRUE(emulator_.start());
    setenv("KIOSKKIT_COM9", emulator_.device_path().c_str(), 1);
  }
  void TearDown() override { unsetenv("KIOSKKIT_COM9"); }

  // The frames the emulator has received once there are at least `count`.
  std::vector<Bytes> frames_once(size_t count) {
    EXPECT_TRUE(emulator_.wait_for_frames(count, kFrameWaitMs)) << "expected " << count << " frames";
    return emulator_.received();
  }

  emu::ValidatorEmulator emulator_;
};

}  // namespace kk::test
