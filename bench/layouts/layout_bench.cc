// lf_charge and water_writecard against the wire floor. The emulated reader
// paces its reports as a full-speed USB interrupt endpoint does (one report
// per 1 ms each way), so an exchange of one-report packets takes at least
// 2 ms; every exchange of these transactions is one report each way.
//
// Counters:
// - exchanges: the transaction's exchanges (counted on the emulator).
// - ratio: time / (exchanges x 2 ms), the floor; above 1 is the kit's own
//   cost plus the emulator's and the system's wake-ups.
// - vs_bare: time / the same number of exchanges made over a bare socket
//   with no kit (a client that sends one request report and waits for the
//   one-report echo of an identically paced emulator): the kit's share.
// - wire_ratio (shared runs): every exchange the reader saw, card polls
//   included, against the floor.
//
// held: the benchmark holds the reader as a card operation does, so the
// card thread cannot poll in between (the cost of the path itself). shared:
// the card thread polls the field every 100 ms, as in the field.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>

#include "bench/reader/common.h"
#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "emulators/reader/emulated_reader.h"

namespace kk::cardkit {
namespace {

constexpr uint32_t kSerial = 0x12345678;
constexpr std::array<uint8_t, 8> kLfKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr std::array<uint8_t, 6> kWaterKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};

// One reader with an lf purse (sector 8) and a water card (sector 9) on its
// card, attached to the running device manager, for the whole program.
struct Setup {
  bench::AttachedReader attached{"layouts"};
  emu::EmulatedReader& reader = *attached.reader;

  Setup() {
    uint32_t balance = 0;
    if (lf_setkey_water(0, 8, kLfKey.data()) != 0 || lf_initcard(kSerial) != 0 ||
        lf_readcard(kSerial, &balance) != 0 || water_yks_setkey(0, 9, kWaterKey.data()) != 0 ||
        water_initcard(kSerial, "bench") != 0)
      throw std::runtime_error("the card could not be issued");
  }
};

Setup& setup() {
  static Setup instance;
  return instance;
}

size_t wire_count() { return setup().reader.commands().size(); }

// Time of `ops` transactions' worth of exchanges over a bare socket, with
// the emulator paced like the kit's, per transaction.
double bare_seconds_per_op(size_t exchanges_per_op, std::chrono::microseconds delay, size_t ops) {
  char folder[] = "/tmp/kk-bench-bare-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 0;
  double seconds = 0;
  {
    // Not in the folder the kit watches: the kit must not take this reader.
    emu::ReaderEmulatorOptions options;
    options.folder = folder;
    emu::ReaderEmulator echo(options);
    echo.set_report_delay(delay);
    echo.set_request_report_delay(delay);
    bench::BareClient client(echo.path());
    if (client.connected()) {
      const auto start = std::chrono::steady_clock::now();
      for (size_t i = 0; i < ops * exchanges_per_op; ++i)
        if (!client.exchange()) break;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                static_cast<double>(ops);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return seconds;
}

template <typename Transaction>
void run(benchmark::State& state, Transaction&& transaction, bool held) {
  const std::chrono::microseconds delay(state.range(0));
  setup().reader.set_report_delay(delay);
  setup().reader.set_request_report_delay(delay);

  // The transaction's own exchanges, counted once with the reader held.
  size_t own = 0;
  {
    ReaderLease lease = DeviceManager::instance().acquire_reader(0);
    const size_t before = wire_count();
    if (!lease || transaction() != 0) {
      state.SkipWithError("the transaction failed");
      return;
    }
    own = wire_count() - before;
  }

  ReaderLease outer;
  if (held) outer = DeviceManager::instance().acquire_reader(0);
  const size_t wire_before = wire_count();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (transaction() != 0) {
      state.SkipWithError("the transaction failed");
      return;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outer = ReaderLease();
  const auto n = static_cast<double>(state.iterations());
  const double floor_per_exchange = 2.0 * static_cast<double>(state.range(0)) * 1e-6;
  state.counters["exchanges"] = static_cast<double>(own);
  state.counters["ms_per_op"] = seconds * 1e3 / n;
  if (floor_per_exchange > 0) {
    state.counters["ratio"] = seconds / (n * static_cast<double>(own) * floor_per_exchange);
    if (!held)
      state.counters["wire_ratio"] =
          seconds / (static_cast<double>(wire_count() - wire_before) * floor_per_exchange);
  }
  const double bare = bare_seconds_per_op(own, delay, 50);
  if (bare > 0) state.counters["vs_bare"] = seconds / n / bare;
}

uint32_t lf_charge_one() {
  uint32_t balance = 0;
  return lf_charge(kSerial, 1, &balance);
}

uint32_t water_write_next() {
  static int32_t value = 0;
  return water_writecard(kSerial, 0, ++value);
}

void BM_LfCharge(benchmark::State& state, bool held) { run(state, lf_charge_one, held); }
void BM_WaterWritecard(benchmark::State& state, bool held) { run(state, water_write_next, held); }

BENCHMARK_CAPTURE(BM_LfCharge, Held, true)
    ->Arg(1000)
    ->Arg(0)
    ->MinTime(3.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LfCharge, Shared, false)
    ->Arg(1000)
    ->MinTime(3.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WaterWritecard, Held, true)
    ->Arg(1000)
    ->Arg(0)
    ->MinTime(3.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WaterWritecard, Shared, false)
    ->Arg(1000)
    ->MinTime(3.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kk::cardkit

BENCHMARK_MAIN();
