// The card model sits under every emulated reader exchange; these measure
// what one card operation costs, so the emulator's own overhead stays small
// next to the kit's sector helpers.
#include <benchmark/benchmark.h>

#include "emulators/mifare/card.h"

namespace {

using kk::emu::Block;
using kk::emu::Card;
using kk::emu::CardType;
using kk::emu::Key;
using kk::emu::KeyType;

constexpr Key kTransportKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// What a sector read of the kit costs the card: one authentication, three reads.
void BM_AuthenticateAndReadSector(benchmark::State& state) {
  Card card(CardType::classic_1k, {1, 2, 3, 4});
  (void)card.select();
  Block block{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(card.authenticate(8, KeyType::a, kTransportKey));
    for (unsigned i = 8; i < 11; ++i) benchmark::DoNotOptimize(card.read_block(i, block));
  }
}
BENCHMARK(BM_AuthenticateAndReadSector);

void BM_DecrementAndTransfer(benchmark::State& state) {
  Card card(CardType::classic_1k, {1, 2, 3, 4});
  (void)card.select();
  card.set_raw_block(5, kk::emu::encode_value_block({1 << 30, 5}));
  (void)card.authenticate(4, KeyType::a, kTransportKey);
  for (auto _ : state) {
    benchmark::DoNotOptimize(card.decrement(5, 1));
    benchmark::DoNotOptimize(card.transfer(5));
  }
}
BENCHMARK(BM_DecrementAndTransfer);

void BM_DumpSector4K(benchmark::State& state) {
  Card card(CardType::classic_4k, {1, 2, 3, 4});
  for (auto _ : state) benchmark::DoNotOptimize(card.dump_sector(39));
}
BENCHMARK(BM_DumpSector4K);

}  // namespace

BENCHMARK_MAIN();
