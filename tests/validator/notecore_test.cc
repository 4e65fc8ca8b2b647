// The notecore exports against the validator emulator over a real
// pseudo-terminal: request frames, acknowledgements, time-outs, resends,
// damaged and oversized replies, and the port's open/close rules.
#include "notecore.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>

#include "notecore/commands.h"
#include "platform/serial.h"
#include "validator_fixture.h"

namespace kk::test {
namespace {

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const Bytes kResetFrame = hex("02 03 06 30 41 B3");
const Bytes kPollFrame = hex("02 03 06 33 DA 81");

class NotecoreTest : public EmulatedValidator {
 protected:
  void SetUp() override {
    EmulatedValidator::SetUp();
    ASSERT_EQ(Voro_OpenPort(kPort), 0);
  }
  void TearDown() override {
    Voro_ClosePort();
    EmulatedValidator::TearDown();
  }

  // Sends a reset after the command under test: it gets no acknowledgement,
  // so once the emulator has it, everything the command sent is in too, and
  // a missing acknowledgement shows as the reset following the request.
  std::vector<Bytes> frames_through_marker(size_t before_marker) {
    uint8_t buf[128];
    int32_t len = 0;
    EXPECT_EQ(Voro_Reset(buf, &len), 0);
    auto frames = frames_once(before_marker + 1);
    EXPECT_EQ(frames.back(), kResetFrame);
    frames.pop_back();
    return frames;
  }

  std::array<uint8_t, 128> buf_{};
  int32_t len_ = -1;
};

struct CommandCase {
  const char* name;
  std::function<int32_t(uint8_t*, int32_t*)> call;
  const char* request;
  bool acknowledged;
};

TEST_F(NotecoreTest, EachCommandSendsItsFrameAndAcknowledgesOnlyDataReplies) {
  const CommandCase cases[] = {
      {"reset", Voro_Reset, "02 03 06 30 41 B3", false},
      {"poll", Voro_Poll, "02 03 06 33 DA 81", true},
      {"identification", Voro_Identification, "02 03 06 37 FE C7", true},
      {"bill table", Voro_GetBillTable, "02 03 06 41 4F D1", true},
      {"stack", Voro_Stack, "02 03 06 35 EC E4", false},
      {"return", Voro_Return, "02 03 06 36 77 D6", false},
      {"hold", Voro_Hold, "02 03 09 38 00 00 00 88 C3", false},
      {"enable bill", Voro_EnableBill, "02 03 0C 34 00 00 FF 00 00 FF BD C6", false},
      {"enable bill stack", Voro_EnableBillStack, "02 03 0C 34 00 00 FF 00 00 00 C5 C9", false},
      {"disable bill", Voro_DisableBill, "02 03 0C 34 00 00 00 00 00 00 17 0C", false},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    emulator_.clear_received();
    ASSERT_EQ(c.call(buf_.data(), &len_), 0);
    EXPECT_GE(len_, 1);
    std::vector<Bytes> expected{hex(c.request)};
    if (c.acknowledged) expected.push_back(kAck);
    EXPECT_EQ(frames_through_marker(expected.size()), expected);
  }
}

TEST_F(NotecoreTest, RepliesArePassedThroughUninterpreted) {
  // A reset is answered by the validator's acknowledgement: one byte 0x00.
  buf_.fill(0xEE);
  ASSERT_EQ(Voro_Reset(buf_.data(), &len_), 0);
  EXPECT_EQ(len_, 1);
  EXPECT_EQ(buf_[0], 0x00);
  EXPECT_EQ(buf_[1], 0xEE) << "only the reply's bytes are written";

  ASSERT_EQ(Voro_Identification(buf_.data(), &len_), 0);
  EXPECT_EQ(Bytes(buf_.begin(), buf_.begin() + len_), emu::ValidatorEmulator::identification());

  ASSERT_EQ(Voro_GetBillTable(buf_.data(), &len_), 0);
  ASSERT_EQ(len_, 120);
  EXPECT_EQ(Bytes(buf_.begin(), buf_.begin() + 5), hex("01 43 4E 59 00"));  // 1 CNY
}

TEST_F(NotecoreTest, SilentValidatorFailsAfterAboutOneSecondWithOneRequest) {
  emulator_.set_failure(emu::Failure::silent);
  buf_.fill(0xAA);
  len_ = 77;
  const auto start = Clock::now();
  EXPECT_EQ(Voro_Poll(buf_.data(), &len_), -1);
  const int64_t elapsed = ms_since(start);
  EXPECT_EQ(len_, 0);
  EXPECT_EQ(buf_[0], 0xAA) << "the caller's buffer is not written on failure";
  EXPECT_GE(elapsed, 950);
  EXPECT_LT(elapsed, 5000);
  emulator_.set_failure(emu::Failure::none);
  EXPECT_EQ(frames_through_marker(1), std::vector<Bytes>{kPollFrame});
}

TEST_F(NotecoreTest, OneBadHeaderCausesExactlyOneResend) {
  emulator_.set_failure(emu::Failure::bad_header_once);
  ASSERT_EQ(Voro_Poll(buf_.data(), &len_), 0);
  EXPECT_EQ(frames_through_marker(3), (std::vector<Bytes>{kPollFrame, kPollFrame, kAck}));
}

TEST_F(NotecoreTest, TwoBadHeadersFail) {
  emulator_.set_failure(emu::Failure::bad_header_always);
  EXPECT_EQ(Voro_Poll(buf_.data(), &len_), -1);
  EXPECT_EQ(len_, 0);
  emulator_.set_failure(emu::Failure::none);
  EXPECT_EQ(frames_through_marker(2), (std::vector<Bytes>{kPollFrame, kPollFrame}));
}

TEST_F(NotecoreTest, BadCrcFailsWithoutAcknowledgement) {
  emulator_.set_failure(emu::Failure::bad_crc);
  buf_.fill(0xAA);
  EXPECT_EQ(Voro_Poll(buf_.data(), &len_), -1);
  EXPECT_EQ(len_, 0);
  EXPECT_EQ(buf_[0], 0xAA);
  emulator_.set_failure(emu::Failure::none);
  EXPECT_EQ(frames_through_marker(1), std::vector<Bytes>{kPollFrame});
}

TEST_F(NotecoreTest, StalledReplyFailsAndTheNextCommandWorks) {
  emulator_.set_failure(emu::Failure::late_body);
  const auto start = Clock::now();
  EXPECT_EQ(Voro_Identification(buf_.data(), &len_), -1);
  EXPECT_GE(ms_since(start), 950);
  EXPECT_EQ(len_, 0);
  emulator_.set_failure(emu::Failure::none);
  EXPECT_EQ(Voro_Identification(buf_.data(), &len_), 0);
  EXPECT_EQ(len_, 34);
}

TEST_F(NotecoreTest, ReplyLengthBytes) {
  struct Case {
    const char* name;
    Bytes reply;
    int32_t result;
    int32_t count;
  };
  // Header and CRC only: a reply without data.
  const uint16_t crc5 = notecore::frame_crc(Bytes{0x02, 0x03, 0x05});
  const Bytes shortest{0x02, 0x03, 0x05, static_cast<uint8_t>(crc5), static_cast<uint8_t>(crc5 >> 8)};

  const Case cases[] = {
      {"five bytes: no data", shortest, 0, 0},
      {"length 0", hex("02 03 00 33 DA 81"), -1, 0},
      {"length 2", hex("02 03 02 33 DA 81"), -1, 0},
      {"length 4", hex("02 03 04 33 DA 81"), -1, 0},
      {"128 data bytes fit", frame(0x14, Bytes(127, 0x5A)), 0, 128},
      {"129 data bytes do not", frame(0x14, Bytes(128, 0x5A)), -1, 0},
      {"longest frame", frame(0x14, Bytes(249, 0x5A)), -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emulator_.clear_received();
    emulator_.send_instead_of_next_reply(c.reply);
    buf_.fill(0xAA);
    len_ = 77;
    EXPECT_EQ(Voro_Poll(buf_.data(), &len_), c.result);
    EXPECT_EQ(len_, c.count);
    if (c.result != 0) {
      EXPECT_EQ(buf_[0], 0xAA);
    }
    // A refused reply is not acknowledged.
    std::vector<Bytes> expected{kPollFrame};
    if (c.result == 0) expected.push_back(kAck);
    EXPECT_EQ(frames_through_marker(expected.size()), expected);
  }
}

TEST_F(NotecoreTest, EnableBillTypeMasksAndEscrow) {
  struct Case {
    uint32_t mask;
    int32_t escrow;
    uint8_t accept;
    uint8_t held;
  };
  const Case cases[] = {
      {0x1FF, 1, 0xFF, 0xFF}, {0x1FF, 2, 0xFF, 0x00}, {0x05, 0, 0x05, 0x00},     {0x05, 1, 0x05, 0x05},
      {0x1FF, 0xFF, 0xFF, 0}, {0x100, 1, 0x00, 0x00}, {0x0F, 0x101, 0x0F, 0x0F}, {0x0F, -1, 0x0F, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << c.mask << " escrow " << c.escrow);
    emulator_.clear_received();
    ASSERT_EQ(Voro_EnableBillType(c.mask, c.escrow, buf_.data(), &len_), 0);
    EXPECT_EQ(frames_through_marker(1),
              std::vector<Bytes>{frame(0x34, {0x00, 0x00, c.accept, 0x00, 0x00, c.held})});
  }
  // The case written out in full, CRC included.
  emulator_.clear_received();
  ASSERT_EQ(Voro_EnableBillType(0x05, 0, buf_.data(), &len_), 0);
  const Bytes sent = frames_through_marker(1).at(0);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 10), hex("02 03 0C 34 00 00 05 00 00 00"));
  EXPECT_TRUE(notecore::frame_is_valid(sent));
}

TEST_F(NotecoreTest, OpenAndCloseRules) {
  // Open again while open, even naming another port: nothing changes.
  EXPECT_EQ(Voro_OpenPort(3), 0);
  EXPECT_EQ(Voro_Poll(buf_.data(), &len_), 0);

  EXPECT_EQ(Voro_ClosePort(), 0);
  EXPECT_EQ(Voro_ClosePort(), 0);
  len_ = 5;
  EXPECT_EQ(Voro_Poll(buf_.data(), &len_), -1) << "no port";
  EXPECT_EQ(len_, 0);

  setenv("KIOSKKIT_COM8", "/nonexistent/tty", 1);
  EXPECT_EQ(Voro_OpenPort(8), -1);
  unsetenv("KIOSKKIT_COM8");
  EXPECT_EQ(Voro_OpenPort(0), -1);
  EXPECT_EQ(Voro_OpenPort(-4), -1);
  EXPECT_EQ(Voro_OpenPort(kPort), 0);
  EXPECT_EQ(Voro_Poll(buf_.data(), &len_), 0);
}

TEST_F(NotecoreTest, PortIsExclusive) {
  platform::SerialDevice second;
  EXPECT_FALSE(second.open(kPort, platform::SerialSettings{}));
  Voro_ClosePort();
  EXPECT_TRUE(second.open(kPort, platform::SerialSettings{}));
  EXPECT_EQ(Voro_OpenPort(kPort), -1) << "taken by another opener";
  second.close();
}

TEST_F(NotecoreTest, NullArgumentsAreRefusedBeforeSending) {
  len_ = 9;
  EXPECT_EQ(Voro_Poll(nullptr, &len_), -1);
  EXPECT_EQ(len_, 0);
  EXPECT_EQ(Voro_Poll(buf_.data(), nullptr), -1);
  EXPECT_EQ(Voro_EnableBillType(1, 1, nullptr, nullptr), -1);
  EXPECT_EQ(frames_through_marker(0), std::vector<Bytes>{});
}

TEST(NotecoreVersion, WritesExactlyTenBytes) {
  for (const int32_t argument : {0, -1, 12345}) {
    std::array<char, 16> text;
    text.fill('#');
    EXPECT_EQ(GetSysVerion(argument, text.data()), 0);
    EXPECT_STREQ(text.data(), "v20130205");
    EXPECT_EQ(std::string(text.begin() + 10, text.end()), "######");
  }
  EXPECT_EQ(GetSysVerion(0, nullptr), -1);
}

TEST(NotecoreClosed, CloseBeforeAnyOpenSucceeds) {
  EXPECT_EQ(Voro_ClosePort(), 0);
  uint8_t buf[128];
  int32_t len = 3;
  EXPECT_EQ(Voro_Reset(buf, &len), -1);
  EXPECT_EQ(len, 0);
}

// A command issued from a window-message handler while another waits for its
// reply must not start a second exchange on the same port.
int32_t g_nested_result = 0;
int g_nested_calls = 0;
void nested_poll() {
  uint8_t buf[128];
  int32_t len = 0;
  ++g_nested_calls;
  g_nested_result = Voro_Poll(buf, &len);
}

TEST_F(NotecoreTest, CommandFromMessageHandlerDuringExchangeIsRefused) {
  auto& port = notecore::validator().port();
  port.set_message_pump(nested_poll);
  g_nested_calls = 0;
  g_nested_result = 0;
  const int32_t outer = Voro_Poll(buf_.data(), &len_);
  port.set_message_pump(&platform::pump_messages);
  EXPECT_EQ(outer, 0);
  EXPECT_GT(g_nested_calls, 0);
  EXPECT_EQ(g_nested_result, -1);
  EXPECT_EQ(frames_through_marker(2), (std::vector<Bytes>{kPollFrame, kAck}));
}

}  // namespace
}  // namespace kk::test
