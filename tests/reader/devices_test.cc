// The device manager and the exports built on it, with emulated readers
// plugged into the folder the library watches: attach, registry order,
// unplugging, readdressing, card presence and requestCard, the block
// exports and the log lines of it all.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "fixture.h"

namespace kk::cardkit {
namespace {

using kk::testing::eventually;
using kk::testing::kSerial;
using kk::testing::kTransportKey;
using kk::testing::kUid;
using kk::testing::ReaderFolder;

class DevicesTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceManager::instance().stop(); }

  void start() { DeviceManager::instance().start(); }
  static uint32_t reader_count() { return readdevlist(nullptr, 0); }
  static bool attached(uint32_t n) {
    return eventually([n] { return reader_count() == n; });
  }
  size_t count_lines(const std::string& line) const {
    const auto lines = folder_.log_lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }

  ReaderFolder folder_;
};

TEST_F(DevicesTest, AttachGreetsTheReaderThenReadsSlotsZeroToThreeInOrder) {
  auto reader = folder_.plug();
  reader->set_slot(2, emu::sectors_slot(3, 4, 5));
  start();
  ASSERT_TRUE(attached(1));
  ASSERT_TRUE(reader->wait_for_commands(6, std::chrono::seconds(10)));
  const auto sent = reader->commands();
  EXPECT_EQ(sent[0].code(), 0x00);
  EXPECT_EQ(sent[0].token(), 0u);
  for (uint8_t slot = 0; slot < 4; ++slot) {
    EXPECT_EQ(sent[1 + slot].code(), 0x22);
    EXPECT_EQ(sent[1 + slot].sub(), slot);
  }
  EXPECT_EQ(sent[5].code(), 0x01) << "then the card thread polls the field";
  EXPECT_EQ(reader->token_errors(), 0u);
  EXPECT_TRUE(eventually([&] { return count_lines("cardMain\t3\t4\t5") == 1; }));
  EXPECT_EQ(count_lines("devMain\tStart"), 1u);
}

TEST_F(DevicesTest, NewestReaderFirstAndTheOlderBecomesNewestWhenTheNewerLeaves) {
  auto older = folder_.plug("a-reader", 0x0011);
  start();
  ASSERT_TRUE(attached(1));
  auto newer = folder_.plug("b-reader", 0x0022);
  ASSERT_TRUE(attached(2));

  std::array<uint16_t, 4> ids{};
  ASSERT_EQ(readdevlist(ids.data(), 4), 2u);
  EXPECT_EQ(ids[0], 0x0022);
  EXPECT_EQ(ids[1], 0x0011);

  // Operations address the newest reader.
  newer->present_new_card(emu::CardType::classic_1k, kUid);
  uint16_t id = 0;
  uint32_t serial = 0;
  ASSERT_EQ(requestCard(&id, &serial, 10000), 0u);  // the card thread has selected the card
  EXPECT_EQ(id, 0x0022);
  std::array<uint8_t, 16> block{};
  EXPECT_EQ(M1_AuthAt(0, 4, 1, kTransportKey.data()), 0u);
  EXPECT_EQ(M1_AuthAt(0x0011, 4, 1, kTransportKey.data()), 1u) << "not the newest reader's id";
  EXPECT_EQ(newer->count(0x14, 1), 1u);
  EXPECT_EQ(older->count(0x14), 0u);

  newer->unplug();
  ASSERT_TRUE(attached(1));
  ASSERT_EQ(readdevlist(ids.data(), 4), 1u);
  EXPECT_EQ(ids[0], 0x0011);
  EXPECT_EQ(M1_ReadBlkAt(0, 4, block.data()), 17u) << "the older reader has no card";
  EXPECT_TRUE(eventually([&] { return count_lines("cardMain\tExit") == 1; }));
}

TEST_F(DevicesTest, ReadDevListNeverWritesPastTheCallersArray) {
  auto a = folder_.plug("a", 1);
  auto b = folder_.plug("b", 2);
  auto c = folder_.plug("c", 3);
  start();
  ASSERT_TRUE(attached(3));
  std::array<uint16_t, 3> ids = {0xFFFF, 0xFFFF, 0xFFFF};
  EXPECT_EQ(readdevlist(ids.data(), 2), 2u);
  EXPECT_EQ(ids[2], 0xFFFF);
  EXPECT_EQ(readdevlist(ids.data(), 0), 0u);
  EXPECT_EQ(readdevlist(nullptr, 0), 3u);
}

TEST_F(DevicesTest, ListChangesAreReportedOncePerChange) {
  start();
  (void)devlistupdate();
  EXPECT_EQ(devlistupdate(), 0u);
  auto reader = folder_.plug();
  ASSERT_TRUE(attached(1));
  EXPECT_EQ(devlistupdate(), 1u);
  EXPECT_EQ(devlistupdate(), 0u);

  EXPECT_EQ(writedevid(1, 0x0100), 5u) << "position equal to the number of readers";
  EXPECT_EQ(devlistupdate(), 0u) << "a refused readdressing changes nothing";
  ASSERT_EQ(writedevid(0, 0x0100), 0u);
  EXPECT_EQ(devlistupdate(), 1u);
  std::array<uint16_t, 1> id{};
  ASSERT_EQ(readdevlist(id.data(), 1), 1u);
  EXPECT_EQ(id[0], 0x0100);
  EXPECT_EQ(reader->address(), 0x0100);
  // The next command frame goes to the new address, in the two-byte form.
  const size_t before = reader->commands().size();
  ASSERT_TRUE(reader->wait_for_commands(before + 1, std::chrono::seconds(5)));
  EXPECT_EQ(reader->commands().back().address, 0x0100);

  reader->unplug();
  ASSERT_TRUE(attached(0));
  EXPECT_EQ(devlistupdate(), 1u);
  EXPECT_EQ(devlistupdate(), 0u);
}

TEST_F(DevicesTest, RequestCardWithACardPresentReturnsAtOnceAndLogsOneLine) {
  auto reader = folder_.plug("r", 0x0033);
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  start();
  ASSERT_TRUE(attached(1));
  ASSERT_TRUE(eventually([&] { return count_lines("cardMain\tRequest card : 12345678") == 1; }));
  uint16_t id = 0;
  uint32_t serial = 0;
  ASSERT_EQ(requestCard(&id, &serial, 0), 0u);
  EXPECT_EQ(id, 0x0033);
  EXPECT_EQ(serial, kSerial);
  EXPECT_EQ(count_lines("requestCard\t305419896\t0"), 1u);
  EXPECT_EQ(requestCard(nullptr, &serial, 0), 1u) << "a missing output is refused";
}

TEST_F(DevicesTest, RequestCardWithoutACardTimesOutUnlessTheEventIsSignalled) {
  auto reader = folder_.plug();
  start();
  ASSERT_TRUE(attached(1));
  uint16_t id = 0xAAAA;
  uint32_t serial = 0xBBBB;
  EXPECT_EQ(requestCard(&id, &serial, 0), 1u);
  EXPECT_EQ(requestCard(&id, &serial, 150), 1u);
  EXPECT_EQ(id, 0xAAAA) << "outputs untouched on failure";
  EXPECT_EQ(serial, 0xBBBBu);

  // A card arrives and leaves while nobody waits: the event stays signalled,
  // but the card is gone, so the call still fails without waiting.
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  ASSERT_TRUE(eventually([&] { return count_lines("cardMain\tRequest card : 12345678") == 1; }));
  reader->remove_card();
  ASSERT_TRUE(eventually([&] { return count_lines("cardMain\tcard leave  : 12345678") == 1; }));
  EXPECT_EQ(requestCard(&id, &serial, 0), 1u);

  // A card that arrives while a caller waits wakes it.
  std::thread later([&] {
    platform::sleep_ms(200);
    reader->present_new_card(emu::CardType::classic_1k, {0xCA, 0xFE, 0x00, 0x01});
  });
  EXPECT_EQ(requestCard(&id, &serial, 10000), 0u);
  later.join();
  EXPECT_EQ(serial, 0xCAFE0001u);
}

TEST_F(DevicesTest, CardHeldLongGivesOneArrivalAndASwapUpdatesTheSerialSilently) {
  auto reader = folder_.plug();
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  start();
  ASSERT_TRUE(attached(1));
  ASSERT_TRUE(eventually([&] { return count_lines("cardMain\tRequest card : 12345678") == 1; }));
  const size_t polls = reader->count(0x01);
  ASSERT_TRUE(eventually([&] { return reader->count(0x01) >= polls + 5; }));
  EXPECT_EQ(count_lines("cardMain\tRequest card : 12345678"), 1u);

  // Swapped between two polls: no departure, no arrival, just the new serial.
  reader->present_new_card(emu::CardType::classic_1k, {0x0A, 0x0B, 0x0C, 0x0D});
  uint16_t id = 0;
  uint32_t serial = 0;
  ASSERT_TRUE(eventually([&] { return requestCard(&id, &serial, 0) == 0 && serial == 0x0A0B0C0D; }));
  const auto lines = folder_.log_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("cardMain\tRequest card", 0) == 0; }),
            1);
  EXPECT_EQ(count_lines("cardMain\tcard leave  : 12345678"), 0u);
}

TEST_F(DevicesTest, BlockExportsOnTheNewestReader) {
  auto reader = folder_.plug("r", 0x0042);
  auto card = reader->present_new_card(emu::CardType::classic_1k, kUid);
  EXPECT_EQ(M1_AuthAt(0, 4, 1, kTransportKey.data()), 1u) << "no reader attached yet";
  start();
  ASSERT_TRUE(attached(1));

  const std::array<uint8_t, 16> data = {0xDE, 0xAD, 0xBE, 0xEF};
  std::array<uint8_t, 16> back{};
  // The card thread's polls select the card anew, which drops an
  // authentication between two exports; a host authenticates again then.
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0x0042, 4, 1, kTransportKey.data()) == 0 && M1_WriteBlkAt(0x0042, 4, data.data()) == 0;
  }));
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0, 4, 1, kTransportKey.data()) == 0 && M1_ReadBlkAt(0, 4, back.data()) == 0;
  }));
  EXPECT_EQ(back, data);
  EXPECT_EQ(card->raw_block(4), data);

  const size_t sent = reader->commands().size();
  EXPECT_EQ(M1_ReadBlkAt(0x0043, 4, back.data()), 1u);
  EXPECT_EQ(M1_AuthAt(0, 4, 1, nullptr), 1u);
  EXPECT_EQ(M1_ReadBlkAt(0, 4, nullptr), 1u);
  EXPECT_EQ(M1_WriteBlkAt(0, 4, nullptr), 1u);
  const auto after = reader->commands();
  EXPECT_TRUE(std::none_of(after.begin() + static_cast<long>(sent), after.end(),
                           [](const emu::DecodedCommand& c) { return c.code() == 0x14; }));
  EXPECT_EQ(M1_AuthAt(0, 4, 1, std::array<uint8_t, 6>{9, 9, 9, 9, 9, 9}.data()), 16u);
}

TEST_F(DevicesTest, ReaderUnpluggedDuringAnExportFailsItWithCode1) {
  auto reader = folder_.plug();
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  start();
  ASSERT_TRUE(attached(1));
  // Slow replies keep the export on the wire while the plug is pulled.
  reader->set_report_delay(std::chrono::milliseconds(300));
  std::array<uint8_t, 16> block{};
  std::atomic<uint32_t> result{0xFFFF};
  std::thread host([&] { result = M1_ReadBlkAt(0, 4, block.data()); });
  platform::sleep_ms(100);
  reader->unplug();
  host.join();
  EXPECT_EQ(result.load(), 1u);
  EXPECT_TRUE(attached(0)) << "the card thread retired the reader";
}

TEST_F(DevicesTest, BeepReportsSuccessWhateverTheReaderSays) {
  auto reader = folder_.plug();
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  reader->refuse_beep(true);
  start();
  ASSERT_TRUE(attached(1));
  EXPECT_EQ(fmt10_beep(0, 1, 2), 0u);
  EXPECT_EQ(reader->count(0x16), 1u);
  EXPECT_EQ(fmt10_beep(0x11111111, 1, 2), 1u) << "not the card in the field";
  ASSERT_TRUE(eventually([] { return fmt10_beep(kSerial, 1, 2) == 0; }));
}

TEST_F(DevicesTest, ReaderWhoseSlotsCouldNotBeReadIsAttachedUnconfigured) {
  auto reader = folder_.plug();
  reader->drop_reply(3);  // hello, slot 0, then slot 1 is lost
  start();
  ASSERT_TRUE(eventually([] { return reader_count() == 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(fmt10_beep(0, 1, 2), 6u);
  EXPECT_EQ(reader->count(0x16), 0u);
  EXPECT_TRUE(eventually([&] { return count_lines("cardMain\t0\t0\t0") == 1; }));
}

TEST_F(DevicesTest, StoppingLeavesNoThreadAndClosesEveryReader) {
  auto reader = folder_.plug();
  start();
  ASSERT_TRUE(attached(1));
  ASSERT_TRUE(reader->connected());
  DeviceManager::instance().stop();
  EXPECT_EQ(reader_count(), 0u);
  EXPECT_TRUE(eventually([&] { return !reader->connected(); }));
  EXPECT_EQ(count_lines("devMain\tEnd"), 1u);
  EXPECT_EQ(count_lines("cardMain\tExit"), 1u);
  // And it starts again.
  start();
  EXPECT_TRUE(attached(1));
}

}  // namespace
}  // namespace kk::cardkit
