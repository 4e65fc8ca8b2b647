// The validator emulator's state machine as a host sees it through notecore:
// power-up, escrow, stacking, returning, rejection with every reason, the
// faults a technician clears, cheating, and events that repeat until the
// host acknowledges them.
#include <gtest/gtest.h>

#include "notecore.h"
#include "validator_fixture.h"

namespace kk::test {
namespace {

constexpr int kInitialisingPolls = 2;

class EmulatorStates : public EmulatedValidator {
 protected:
  EmulatorStates() : EmulatedValidator(kInitialisingPolls) {}

  void SetUp() override {
    EmulatedValidator::SetUp();
    ASSERT_EQ(Voro_OpenPort(kPort), 0);
  }
  void TearDown() override {
    Voro_ClosePort();
    EmulatedValidator::TearDown();
  }

  Bytes poll() {
    uint8_t buf[128];
    int32_t len = 0;
    EXPECT_EQ(Voro_Poll(buf, &len), 0);
    return Bytes(buf, buf + len);
  }

  // Polls until the validator has left power-up and initialising.
  void power_up() {
    EXPECT_EQ(poll(), hex("10"));
    for (int i = 0; i < kInitialisingPolls; ++i) EXPECT_EQ(poll(), hex("13"));
  }

  uint8_t command(int32_t (*call)(uint8_t*, int32_t*)) {
    uint8_t buf[128];
    int32_t len = 0;
    EXPECT_EQ(call(buf, &len), 0);
    EXPECT_EQ(len, 1);
    return buf[0];
  }
};

TEST_F(EmulatorStates, PowerUpInitialisesThenFollowsTheEnabledTypes) {
  power_up();
  EXPECT_EQ(poll(), hex("19")) << "disabled until the host enables bill types";
  EXPECT_EQ(command(Voro_EnableBill), 0x00);
  EXPECT_EQ(poll(), hex("14"));
  EXPECT_EQ(command(Voro_DisableBill), 0x00);
  EXPECT_EQ(poll(), hex("19"));
  EXPECT_EQ(command(Voro_Reset), 0x00);
  EXPECT_EQ(poll(), hex("10"));
}

TEST_F(EmulatorStates, EscrowHoldStackAndReturn) {
  power_up();
  ASSERT_EQ(command(Voro_EnableBill), 0x00);
  EXPECT_EQ(poll(), hex("14"));

  ASSERT_TRUE(emulator_.insert_bill(2));
  EXPECT_FALSE(emulator_.insert_bill(1)) << "busy with a bill";
  EXPECT_EQ(poll(), hex("15"));
  EXPECT_EQ(poll(), hex("80 02"));
  EXPECT_EQ(poll(), hex("80 02")) << "escrow lasts until the host decides";
  EXPECT_EQ(command(Voro_Hold), 0x00);
  EXPECT_EQ(poll(), hex("1A"));
  EXPECT_EQ(poll(), hex("80 02"));
  EXPECT_EQ(command(Voro_Stack), 0x00);
  EXPECT_EQ(poll(), hex("17"));
  EXPECT_EQ(poll(), hex("81 02"));
  EXPECT_EQ(poll(), hex("14"));

  ASSERT_TRUE(emulator_.insert_bill(4));
  EXPECT_EQ(poll(), hex("15"));
  EXPECT_EQ(poll(), hex("80 04"));
  EXPECT_EQ(command(Voro_Return), 0x00);
  EXPECT_EQ(poll(), hex("18"));
  EXPECT_EQ(poll(), hex("82 04"));
  EXPECT_EQ(poll(), hex("14"));
}

TEST_F(EmulatorStates, StackingAtOnceAndRejectedTypes) {
  power_up();
  ASSERT_EQ(command(Voro_EnableBillStack), 0x00);
  EXPECT_EQ(poll(), hex("14"));
  ASSERT_TRUE(emulator_.insert_bill(0));
  EXPECT_EQ(poll(), hex("15"));
  EXPECT_EQ(poll(), hex("17"));
  EXPECT_EQ(poll(), hex("81 00"));
  EXPECT_EQ(poll(), hex("14"));

  uint8_t buf[128];
  int32_t len = 0;
  ASSERT_EQ(Voro_EnableBillType(0x01, 0, buf, &len), 0);
  ASSERT_TRUE(emulator_.insert_bill(3));
  EXPECT_EQ(poll(), hex("1C 68"));
  EXPECT_EQ(poll(), hex("14"));
  EXPECT_FALSE(emulator_.insert_bill(6)) << "no such bill in the table";
  EXPECT_FALSE(emulator_.insert_bill(200));

  // Without a bill in escrow, stack, return and hold are illegal.
  EXPECT_EQ(command(Voro_Stack), 0x30);
  EXPECT_EQ(command(Voro_Return), 0x30);
  EXPECT_EQ(command(Voro_Hold), 0x30);

  ASSERT_EQ(command(Voro_DisableBill), 0x00);
  EXPECT_EQ(poll(), hex("19"));
  EXPECT_FALSE(emulator_.insert_bill(0)) << "a disabled validator takes no bill";
}

TEST_F(EmulatorStates, UnacknowledgedEventIsReportedAgain) {
  power_up();
  ASSERT_EQ(command(Voro_EnableBillStack), 0x00);
  EXPECT_EQ(poll(), hex("14"));
  ASSERT_TRUE(emulator_.insert_bill(5));
  EXPECT_EQ(poll(), hex("15"));

  emulator_.set_failure(emu::Failure::bad_crc);
  uint8_t buf[128];
  int32_t len = 0;
  EXPECT_EQ(Voro_Poll(buf, &len), -1);
  emulator_.set_failure(emu::Failure::none);
  EXPECT_EQ(poll(), hex("17")) << "the damaged report was not acknowledged";
  EXPECT_EQ(poll(), hex("81 05"));
}

// From power-up to idling with every bill type enabled, stacked at once.
class EmulatorFaults : public EmulatorStates {
 protected:
  void SetUp() override {
    EmulatorStates::SetUp();
    power_up();
    ASSERT_EQ(command(Voro_EnableBillStack), 0x00);
    ASSERT_EQ(poll(), hex("14"));
  }
};

TEST_F(EmulatorFaults, EachRejectionReasonIsReportedOnceAcknowledged) {
  for (const notecore::CodeName& reason : notecore::reject_reason_names()) {
    SCOPED_TRACE(reason.keyword);
    ASSERT_TRUE(emulator_.reject_bill(reason.code));
    EXPECT_FALSE(emulator_.insert_bill(0)) << "busy rejecting";
    EXPECT_EQ(poll(), (Bytes{0x1C, reason.code}));
    EXPECT_EQ(poll(), hex("14"));
  }
  // A reason the host may not know is passed through all the same.
  ASSERT_TRUE(emulator_.reject_bill(0x92));
  EXPECT_EQ(poll(), hex("1C 92"));
  EXPECT_EQ(poll(), hex("14"));
}

TEST_F(EmulatorFaults, EachFaultLastsTakesNoBillAndEndsWhereItBegan) {
  const struct {
    emu::Fault fault;
    uint8_t failure_code;
    const char* reported;
  } cases[] = {
      {emu::Fault::cassette_full, 0, "41"},    {emu::Fault::cassette_removed, 0, "42"},
      {emu::Fault::validator_jammed, 0, "43"}, {emu::Fault::cassette_jammed, 0, "44"},
      {emu::Fault::paused, 0, "46"},           {emu::Fault::failure, 0x50, "47 50"},
      {emu::Fault::failure, 0x5F, "47 5F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reported);
    emulator_.set_fault(c.fault, c.failure_code);
    EXPECT_EQ(poll(), hex(c.reported));
    EXPECT_FALSE(emulator_.insert_bill(0));
    EXPECT_FALSE(emulator_.reject_bill(0x60));
    EXPECT_EQ(poll(), hex(c.reported)) << "a fault lasts until it is cleared";
    emulator_.set_fault(emu::Fault::none);
    EXPECT_EQ(poll(), hex("14"));
  }
}

TEST_F(EmulatorFaults, BillInProgressWaitsUnderAFault) {
  // Stacking when the cassette jams: stacked once it is cleared.
  ASSERT_TRUE(emulator_.insert_bill(1));
  EXPECT_EQ(poll(), hex("15"));
  emulator_.set_fault(emu::Fault::cassette_jammed);
  EXPECT_EQ(poll(), hex("44"));
  EXPECT_EQ(poll(), hex("44"));
  emulator_.set_fault(emu::Fault::none);
  EXPECT_EQ(poll(), hex("17"));
  EXPECT_EQ(poll(), hex("81 01"));
  EXPECT_EQ(poll(), hex("14"));

  // In escrow when the validator jams: still in escrow afterwards.
  ASSERT_EQ(command(Voro_EnableBill), 0x00);
  ASSERT_TRUE(emulator_.insert_bill(3));
  EXPECT_EQ(poll(), hex("15"));
  EXPECT_EQ(poll(), hex("80 03"));
  emulator_.set_fault(emu::Fault::validator_jammed);
  EXPECT_EQ(poll(), hex("43"));
  emulator_.set_fault(emu::Fault::none);
  EXPECT_EQ(poll(), hex("80 03"));
  EXPECT_EQ(command(Voro_Return), 0x00);
  EXPECT_EQ(poll(), hex("18"));
  EXPECT_EQ(poll(), hex("82 03"));
}

TEST_F(EmulatorFaults, ResetKeepsTheFaultAndAFaultClearedUnreportedMovesNothing) {
  emulator_.set_fault(emu::Fault::failure, 0x55);
  EXPECT_EQ(command(Voro_Reset), 0x00);
  EXPECT_EQ(poll(), hex("47 55")) << "a reset does not repair the validator";
  emulator_.set_fault(emu::Fault::none);
  power_up();
  EXPECT_EQ(poll(), hex("19"));

  // The fault is cleared between a poll and its acknowledgement: the state
  // underneath was never reported, so it is reported now.
  ASSERT_EQ(command(Voro_EnableBillStack), 0x00);
  EXPECT_EQ(poll(), hex("14"));
  ASSERT_TRUE(emulator_.insert_bill(2));
  EXPECT_EQ(poll(), hex("15"));
  emulator_.set_fault(emu::Fault::paused);
  EXPECT_EQ(poll(), hex("46"));
  emulator_.set_fault(emu::Fault::none);
  EXPECT_EQ(poll(), hex("17"));
}

TEST_F(EmulatorFaults, CheatedBillIsNeverReportedStacked) {
  EXPECT_FALSE(emulator_.cheat()) << "no bill to pull back";
  ASSERT_TRUE(emulator_.insert_bill(4));
  EXPECT_EQ(poll(), hex("15"));
  ASSERT_TRUE(emulator_.cheat());
  EXPECT_EQ(poll(), hex("45"));
  EXPECT_EQ(poll(), hex("14"));
  EXPECT_EQ(poll(), hex("14"));
}

}  // namespace
}  // namespace kk::test
