// The card cache: lookups newest first, serial 0, removal, and records that
// stay valid while an operation still holds them.
#include "cardkit/layouts/fmt10/card_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/thread.h"

namespace kk::cardkit {
namespace {

Fmt10RecordPtr record(uint32_t serial, uint32_t balance = 0) {
  auto r = std::make_shared<Fmt10CardRecord>();
  r->serial = serial;
  r->balance = balance;
  return r;
}

TEST(CardCache, LooksUpNewestFirstAndSerialZeroMatchesTheNewest) {
  Fmt10CardCache cache;
  EXPECT_EQ(cache.find(0), nullptr);
  EXPECT_EQ(cache.find(0x11223344), nullptr);

  const auto a = record(0xA1);
  const auto b = record(0xB2);
  const auto a_again = record(0xA1, 7);  // a second record filed under the same serial
  cache.add(a);
  cache.add(b);
  EXPECT_EQ(cache.find(0xA1), a);
  EXPECT_EQ(cache.find(0xB2), b);
  EXPECT_EQ(cache.find(0), b);
  EXPECT_EQ(cache.find(0xC3), nullptr);
  cache.add(a_again);
  EXPECT_EQ(cache.find(0xA1), a_again);
  EXPECT_EQ(cache.find(0), a_again);
}

TEST(CardCache, RemovingTheNewestUncoversTheOneAddedBefore) {
  Fmt10CardCache cache;
  const auto older = record(1);
  const auto newer = record(2);
  cache.add(older);
  cache.add(newer);
  cache.remove(newer);
  EXPECT_EQ(cache.find(0), older);
  EXPECT_EQ(cache.find(2), nullptr);
  cache.remove(newer);  // not in the cache any more: ignored
  EXPECT_EQ(cache.size(), 1u);
}

TEST(CardCache, RecordInUseOutlivesItsRemoval) {
  Fmt10CardCache cache;
  cache.add(record(5, 1000));
  const auto in_use = cache.find(5);
  cache.remove(in_use);  // the card thread drops the card meanwhile
  EXPECT_EQ(cache.find(5), nullptr);
  in_use->balance += 1;  // the operation still works on valid memory
  EXPECT_EQ(in_use->balance, 1001u);
}

TEST(CardCache, CardThreadsAndOperationsRaceSafely) {
  Fmt10CardCache cache;
  std::atomic<bool> stop{false};
  std::vector<platform::Thread> threads;
  for (uint32_t t = 1; t <= 3; ++t) {
    // A card thread: cards of its own come and go.
    threads.push_back(platform::Thread::start([&, t] {
      for (uint32_t i = 0; i < 2000; ++i) {
        const uint32_t serial = t << 16 | i;
        cache.add(record(serial));
        if (auto r = cache.find(serial)) cache.remove(r);
      }
    }));
  }
  // An operation: finds whatever record is newest and works on it.
  threads.push_back(platform::Thread::start([&] {
    while (!stop) {
      if (auto r = cache.find(0)) r->txn_count++;
    }
  }));
  for (size_t i = 0; i < 3; ++i) threads[i].join();
  stop = true;
  threads[3].join();
  EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
}  // namespace kk::cardkit
