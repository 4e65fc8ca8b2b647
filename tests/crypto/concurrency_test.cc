// The triple-DES exports keep no state between calls: threads encrypting,
// decrypting, diversifying and MACing at once with different keys get the
// same results as one thread alone, and ThreadSanitizer sees no shared
// writes.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "cardkit.h"
#include "cardkit/crypto/des.h"

namespace {

struct Work {
  std::array<uint8_t, 16> key;
  std::array<uint8_t, 40> data;
};

struct Results {
  std::array<uint8_t, 40> encrypted{};
  std::array<uint8_t, 40> restored{};
  std::array<uint8_t, 16> derived{};
  std::array<uint8_t, 4> mac{};
  bool operator==(const Results&) const = default;
};

Results run(const Work& work) {
  Results r;
  r.encrypted = work.data;
  des3_enc_dat(r.encrypted.data(), 37, work.key.data());
  r.restored = r.encrypted;
  des3_dec_dat(r.restored.data(), 37, work.key.data());
  r.derived = work.key;
  des3_diversify(work.data.data(), r.derived.data());
  pboc_des3_mac(work.data.data(), 29, work.key.data(), r.mac.data());
  return r;
}

TEST(CryptoConcurrency, ThreadsWithDifferentKeysDoNotDisturbEachOther) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<Work> work(kThreads);
  std::vector<Results> expected(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (size_t i = 0; i < 16; ++i) work[t].key[i] = static_cast<uint8_t>(t * 31 + i * 7);
    for (size_t i = 0; i < 40; ++i) work[t].data[i] = static_cast<uint8_t>(t * 13 + i * 3);
    expected[t] = run(work[t]);
    ASSERT_EQ(expected[t].restored, work[t].data);
  }

  // A shared link context read by all threads at once, as the card threads
  // and callers share a reader's link key.
  const std::array<uint8_t, 8> link_key = {1, 2, 3, 4, 5, 6, 7, 8};
  const kk::cardkit::DesKeyContext link(link_key);
  std::array<uint8_t, 16> link_expected{};
  kk::cardkit::des_ecb_encrypt(link, link_expected);

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        if (!(run(work[t]) == expected[t])) ++mismatches;
        std::array<uint8_t, 16> block{};
        kk::cardkit::des_ecb_encrypt(link, block);
        if (block != link_expected) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
