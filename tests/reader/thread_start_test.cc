// A reader whose card thread cannot be started: it is withdrawn from the
// registry and closed under its lock, so an export that selected it in the
// meantime finishes its exchange on an open device, and discovery attaches
// the reader again on a later pass.
//
// The program is linked with --wrap=pthread_create: threads started by the
// kit's own threads (the discovery thread starting a card thread) can be
// refused on demand, after a pause that leaves an export time to select the
// reader while it is published without a thread.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "fixture.h"

namespace {

const pthread_t g_main_thread = pthread_self();
std::atomic<int> g_refusals{0};
constexpr auto kRefusalPause = std::chrono::milliseconds(300);

}  // namespace

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* arg) {
  if (!pthread_equal(pthread_self(), g_main_thread)) {
    int left = g_refusals.load();
    while (left > 0 && !g_refusals.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) {
      std::this_thread::sleep_for(kRefusalPause);
      return EAGAIN;
    }
  }
  return __real_pthread_create(thread, attr, start, arg);
}

namespace kk::cardkit {
namespace {

using kk::testing::eventually;
using kk::testing::kSerial;
using kk::testing::kUid;
using kk::testing::ReaderFolder;

TEST(CardThreadStart, AReaderWithoutACardThreadIsWithdrawnUnderItsLockAndFoundAgain) {
  ReaderFolder folder;
  auto reader = folder.plug("reader0", 0x0042);
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  std::atomic<int> connections{0};
  reader->transport().set_connection_observer([&](bool connected) {
    if (connected) ++connections;
  });
  // The first block read is answered only after the refused start has been
  // dealt with: the export that sent it is on the wire when the discovery
  // thread withdraws the reader.
  reader->delay_reply(kRefusalPause + std::chrono::milliseconds(700), 1, emu::kBlockRead);
  g_refusals = 1;

  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::thread host([&] {
    std::array<uint8_t, 16> block{};
    while (!stop) {
      const uint32_t r = M1_ReadBlkAt(0, 4, block.data());
      if (r != 1 && r != 17) ++unexpected;  // no authentication: the card refuses
    }
  });
  DeviceManager::instance().start();

  // Refused, withdrawn and closed, then attached again with a card thread.
  EXPECT_TRUE(eventually([&] { return connections.load() == 2 && readdevlist(nullptr, 0) == 1; }));
  uint16_t id = 0;
  uint32_t serial = 0;
  EXPECT_EQ(requestCard(&id, &serial, 10000), 0u);
  EXPECT_EQ(serial, kSerial);
  EXPECT_EQ(g_refusals.load(), 0);
  stop = true;
  host.join();
  DeviceManager::instance().stop();

  EXPECT_EQ(unexpected.load(), 0);
  const auto sent = reader->commands();
  EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const emu::DecodedCommand& c) {
    return c.fault == emu::LinkFault::delayed;
  })) << "an export was on the wire while the reader was withdrawn";
}

}  // namespace
}  // namespace kk::cardkit
