// The reader emulator's command thread and a person's inspection (dumps, raw
// reads) may meet on one card; each call must be atomic.
#include <gtest/gtest.h>

#include <thread>

#include "emulators/mifare/card.h"
#include "tests/mifare/card_test_support.h"

namespace kk::emu {
namespace {

using namespace test;

TEST(CardConcurrency, CommandsAndInspectionMayRunOnDifferentThreads) {
  Card card(CardType::classic_1k, kUid);
  constexpr int kRounds = 2000;
  std::thread commands([&] {
    for (int round = 0; round < kRounds; ++round) {
      (void)card.select();
      if (card.authenticate(4, KeyType::a, kTransportKey) != CardResult::ok) return;
      const Block data = filled(static_cast<uint8_t>(round));
      if (card.write_block(5, data) != CardResult::ok) return;
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    // A block is never seen half written.
    const Block seen = card.raw_block(5);
    ASSERT_EQ(seen, filled(seen[0]));
    (void)card.dump_sector(1);
  }
  commands.join();
  EXPECT_EQ(card.raw_block(5), filled(static_cast<uint8_t>(kRounds - 1)));
}

}  // namespace
}  // namespace kk::emu
