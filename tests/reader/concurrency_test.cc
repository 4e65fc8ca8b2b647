// Host threads hammer the block exports and readdress the readers while
// cards come and go and readers are unplugged and plugged again. Every call
// must return one of its codes; nothing may crash, leak, race or deadlock
// (this test also runs under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "fixture.h"

namespace kk::cardkit {
namespace {

using kk::testing::eventually;
using kk::testing::kTransportKey;
using kk::testing::ReaderFolder;

TEST(ReaderConcurrency, ExportsWhileCardsComeAndGoAndReadersAreReplugged) {
  ReaderFolder folder;
  DeviceManager::instance().start();

  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> successes{0};
  std::atomic<int> readdressings{0};
  auto expect_code = [&](uint32_t code, std::initializer_list<uint32_t> allowed) {
    if (std::find(allowed.begin(), allowed.end(), code) == allowed.end()) ++unexpected;
    if (code == 0) ++successes;
  };

  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      std::array<uint8_t, 16> block{};
      block.fill(static_cast<uint8_t>(t));
      while (!stop) {
        expect_code(M1_AuthAt(0, 4, 1, kTransportKey.data()), {0, 1, 16});
        expect_code(M1_WriteBlkAt(0, 4 + static_cast<uint32_t>(t % 3), block.data()), {0, 1, 18});
        expect_code(M1_ReadBlkAt(0, 4, block.data()), {0, 1, 17});
        expect_code(fmt10_beep(0, 1, 1), {0, 1});
        uint16_t id;
        uint32_t serial;
        expect_code(requestCard(&id, &serial, 20), {0, 1});
        std::array<uint16_t, 8> ids;
        if (readdevlist(ids.data(), 8) > 8) ++unexpected;
        (void)devlistupdate();
        // The one path that holds the registry lock while it takes a
        // reader's lock: ThreadSanitizer sees that order next to the others.
        const uint32_t readdressed =
            writedevid(static_cast<uint32_t>(t % 3), static_cast<uint16_t>(0x0100 + t));
        expect_code(readdressed, {0, 1, 5});
        if (readdressed == 0) ++readdressings;
      }
    });
  }

  // The field and the plugs: two readers, replugged in turns, cards coming
  // and going on each.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  int round = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    auto a = folder.plug("a", 1);
    auto b = folder.plug("b", 2);
    for (int i = 0; i < 4; ++i) {
      a->present_new_card(emu::CardType::classic_1k, {1, 2, 3, static_cast<uint8_t>(i)});
      b->present_new_card(emu::CardType::classic_4k, {4, 5, 6, static_cast<uint8_t>(i)});
      platform::sleep_ms(60);
      (i % 2 ? a : b)->remove_card();
      platform::sleep_ms(40);
    }
    if (round++ % 2) b->unplug();  // the newest goes first, or both at once at scope end
    platform::sleep_ms(50);
  }
  stop = true;
  for (auto& h : hosts) h.join();
  DeviceManager::instance().stop();

  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(successes.load(), 0) << "some calls found a reader and a card";
  EXPECT_GT(readdressings.load(), 0) << "some readers were readdressed";
  EXPECT_EQ(readdevlist(nullptr, 0), 0u);
}

}  // namespace
}  // namespace kk::cardkit
