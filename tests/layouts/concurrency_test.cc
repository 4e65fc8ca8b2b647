// The card layouts' process-wide state under threads (this test also runs
// under ThreadSanitizer): two hosts working on two lfzxdc cards on two
// readers while the cards change places, and a host reconfiguring the lf
// and water keys while other threads read cards. Every result must be one
// of the export's codes, and every success must carry its own card's data.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "layout_fixture.h"

namespace kk::testing {
namespace {

constexpr uint32_t kCardA = 0x0A0A0A01, kCardB = 0x0B0B0B02;

struct Expected {
  uint32_t serial;
  uint16_t prefix;
  uint32_t number;
  uint16_t counter;   // the device counter on the card
  uint32_t sequence;  // the purchase each host records, again and again
  uint16_t amount;
};

const Expected kA = {kCardA, 1111, 11111111, 40, 41, 100};
const Expected kB = {kCardB, 2222, 22222222, 70, 71, 200};

TEST_F(LayoutTest, TwoHostsOnTwoLfzxdcCardsOnTwoReaders) {
  // Issue both cards on the one reader, then plug a second reader: it is
  // the newest, and the cards change places between the two.
  std::shared_ptr<emu::Card> cards[2];
  for (const Expected* e : {&kA, &kB}) {
    auto card = present_fresh(e->serial);
    ASSERT_EQ(lfzxdc_initcard(e->serial), 0u);
    ASSERT_EQ(lfzxdc_writecardno(e->serial, e->prefix, e->number), 0u);
    Raw device{};
    device[9] = static_cast<uint8_t>(e->counter >> 8);
    device[10] = static_cast<uint8_t>(e->counter);
    card->set_raw_block(16, device);
    cards[e == &kA ? 0 : 1] = card;
  }
  auto second = folder_.plug("reader1", 2);
  ASSERT_TRUE(eventually([] { return readdevlist(nullptr, 0) == 2u; }));

  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> successes[2] = {0, 0};
  auto host = [&](const Expected& e, std::atomic<int>& done) {
    while (!stop) {
      uint32_t prefix = 0, number = 0;
      const uint32_t r = lfzxdc_readcard(e.serial, &prefix, &number);
      if (r != 0) {
        if (r != 1 && r != 16 && r != 17) ++unexpected;
        continue;
      }
      if (prefix != e.prefix || number != e.number) ++unexpected;
      uint32_t next = 0, pending = 0;
      if (lfzxdc_readmoney(0, &next, &pending) != 0 || next != e.counter + 1u) ++unexpected;
      if (pending != 0 && pending != e.amount) ++unexpected;
      const uint32_t c = lfzxdc_charge(e.serial, e.sequence, e.amount);
      if (c != 0 && c != 1 && c != 16 && c != 17) ++unexpected;
      if (c == 0) ++done;
    }
  };
  std::thread a(host, std::cref(kA), std::ref(successes[0]));
  std::thread b(host, std::cref(kB), std::ref(successes[1]));

  // Swap the cards between the readers until both hosts got through a few
  // times (or give up after a while).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int turn = 0; std::chrono::steady_clock::now() < deadline; ++turn) {
    second->present(cards[turn % 2]);
    reader_->present(cards[(turn + 1) % 2]);
    platform::sleep_ms(150);
    if (turn >= 8 && successes[0] >= 3 && successes[1] >= 3) break;
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GE(successes[0].load(), 1) << "host A recorded its purchase";
  EXPECT_GE(successes[1].load(), 1) << "host B recorded its purchase";
  second.reset();
}

TEST_F(LayoutTest, ReconfiguringLfAndWaterWhileOtherThreadsRead) {
  const std::array<uint8_t, 8> lf_keys[2] = {{1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}};
  const std::array<uint8_t, 6> water_keys[2] = {{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},
                                                {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5}};
  // The card: an lf purse (sector 8) and a water user card (sector 9)
  // under the first keys.
  ASSERT_EQ(lf_setkey_water(0, 8, lf_keys[0].data()), 0u);
  ASSERT_EQ(lf_initcard(kSerial), 0u);
  uint32_t balance = 0;
  ASSERT_EQ(lf_charge(kSerial, 123, &balance), 0u);
  ASSERT_EQ(water_yks_setkey(0, 9, water_keys[0].data()), 0u);
  ASSERT_EQ(water_initcard(kSerial, ""), 0u);
  ASSERT_EQ(water_writecard(kSerial, 0, 456), 0u);
  std::array<uint8_t, 6> card_keys[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(lf_setkey_water(0, 8, lf_keys[i].data()), 0u);
    ASSERT_EQ(lf_getcardkey(kSerial, card_keys[i].data()), 0u);
  }

  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> reads{0};
  std::thread configure([&] {
    for (int i = 0; !stop; ++i) {
      if (lf_setkey_water(0, 8, lf_keys[i % 2].data()) != 0) ++unexpected;
      if (water_yks_setkey(0, 9, water_keys[(i / 2) % 2].data()) != 0) ++unexpected;
      platform::sleep_ms(1);
    }
  });
  std::thread keys([&] {
    while (!stop) {
      std::array<uint8_t, 6> key{};
      if (lf_getcardkey(kSerial, key.data()) != 0 || (key != card_keys[0] && key != card_keys[1]))
        ++unexpected;  // never half of one key and half of the other
    }
  });
  std::thread readers([&] {
    while (!stop) {
      uint32_t b = 0;
      const uint32_t lf = lf_readcard(kSerial, &b);
      if (lf == 0 && b != 123) ++unexpected;
      if (lf != 0 && lf != 16) ++unexpected;
      const uint32_t water = water_readcard(kSerial, 0, &b);
      if (water == 0 && b != 456) ++unexpected;
      if (water != 0 && water != 16) ++unexpected;
      reads += (lf == 0) + (water == 0);
    }
  });
  EXPECT_TRUE(eventually([&] { return reads >= 10; }, std::chrono::seconds(30)));
  stop = true;
  configure.join();
  keys.join();
  readers.join();
  EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
}  // namespace kk::testing
