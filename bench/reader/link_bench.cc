// Time of reader exchanges against the wire floor. The emulated reader
// paces its reports as a full-speed USB interrupt endpoint does (one report
// per 1 ms in each direction), so one exchange of one-report packets cannot
// take less than 2 ms; `ratio` is the measured time over that floor, and
// everything above 1 is the kit's own cost (plus the emulator's wake-ups).
//
// Each operation runs two ways:
// - held: the benchmark holds the reader's lock, as a card-layout operation
//   does, so the card thread cannot poll meanwhile: the cost of the path
//   itself (export, channel, transport, socket).
// - shared: the card thread polls the field as it does in the field (every
//   100 ms with a card), between the operations. `ratio` counts only the
//   operation's own exchanges; `wire_ratio` counts every exchange the reader
//   saw, polls included.
//
// The argument is the report delay in microseconds; 0 shows the raw cost of
// an exchange over the socket, without pacing.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <memory>

#include "bench/reader/common.h"
#include "cardkit.h"
#include "cardkit/commands/commands.h"
#include "cardkit/devices/device_manager.h"
#include "emulators/reader/emulated_reader.h"

namespace kk::cardkit {
namespace {

constexpr std::array<uint8_t, 6> kKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint32_t kBlock = 4;  // block 0 of sector 1
constexpr uint32_t kSector = 1;

// One reader with a card, attached to the running device manager, for the
// whole program.
bench::AttachedReader& setup() {
  static bench::AttachedReader instance("link");
  return instance;
}

void pace(benchmark::State& state) {
  const std::chrono::microseconds delay(state.range(0));
  setup().reader->set_report_delay(delay);
  setup().reader->set_request_report_delay(delay);
}

// Fills the ratios from the time the loop took and the exchanges it made.
void report(benchmark::State& state, std::chrono::steady_clock::duration elapsed, size_t own_exchanges,
            size_t wire_exchanges) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const double floor_per_exchange = 2.0 * static_cast<double>(state.range(0)) * 1e-6;
  state.counters["us_per_exchange"] = seconds * 1e6 / static_cast<double>(own_exchanges);
  if (floor_per_exchange > 0) {
    state.counters["ratio"] = seconds / (static_cast<double>(own_exchanges) * floor_per_exchange);
    state.counters["wire_ratio"] = seconds / (static_cast<double>(wire_exchanges) * floor_per_exchange);
  }
}

size_t wire_count() { return setup().reader->commands().size(); }

void BM_ReadBlkAt_Held(benchmark::State& state) {
  pace(state);
  ReaderLease lease = DeviceManager::instance().acquire_reader(0);
  if (!lease || m1_auth(lease->link, kBlock, kKeyA, kKey) != ReaderResult::ok) {
    state.SkipWithError("authentication failed");
    return;
  }
  std::array<uint8_t, 16> out{};
  const size_t wire_before = wire_count();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (M1_ReadBlkAt(0, kBlock, out.data()) != 0) {
      state.SkipWithError("block read failed");
      return;
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto n = static_cast<size_t>(state.iterations());
  report(state, elapsed, n, wire_count() - wire_before);
}
BENCHMARK(BM_ReadBlkAt_Held)->Arg(1000)->Arg(0)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ReadBlkAt_Shared(benchmark::State& state) {
  pace(state);
  std::array<uint8_t, 16> out{};
  size_t own = 0;
  const size_t wire_before = wire_count();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    // A card poll selects the card anew, which ends the authentication; a
    // host then authenticates again, and that exchange is counted too.
    ++own;
    while (M1_ReadBlkAt(0, kBlock, out.data()) != 0) {
      own += 2;
      if (M1_AuthAt(0, kBlock, 1, kKey.data()) != 0) {
        state.SkipWithError("authentication failed");
        return;
      }
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  report(state, elapsed, own, wire_count() - wire_before);
}
BENCHMARK(BM_ReadBlkAt_Shared)->Arg(1000)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

// m1_read_sector with mask 0xC7: authenticate with key A, read blocks 0-2:
// four exchanges.
void BM_ReadSector(benchmark::State& state, bool held) {
  pace(state);
  std::array<uint8_t, 48> out{};
  ReaderLease outer;
  if (held) outer = DeviceManager::instance().acquire_reader(0);
  const size_t wire_before = wire_count();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    // As a card layout does: select the reader and hold it for the sector.
    ReaderLease lease = DeviceManager::instance().acquire_reader(0);
    if (!lease || m1_read_sector(lease->link, kSector, 0xC7, kKey, out) != ReaderResult::ok) {
      state.SkipWithError("sector read failed");
      return;
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto n = static_cast<size_t>(state.iterations());
  report(state, elapsed, 4 * n, wire_count() - wire_before);
}
BENCHMARK_CAPTURE(BM_ReadSector, Held, true)->Arg(1000)->Arg(0)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadSector, Shared, false)->Arg(1000)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same paced emulator with no kit at all: a bare client sends one
// request report over the socket and waits for the one-report echo. What
// this costs above the floor is the emulator's and the system's (wake-ups
// of two threads each way), and is the baseline for the kit's figures.
void BM_WireBaseline(benchmark::State& state) {
  bench::ReaderFolder folder("wire");
  emu::ReaderEmulatorOptions options;
  options.folder = folder.path();
  emu::ReaderEmulator echo(options);  // the default handler echoes the request
  const std::chrono::microseconds delay(state.range(0));
  echo.set_report_delay(delay);
  echo.set_request_report_delay(delay);

  bench::BareClient client(echo.path());
  if (!client.connected()) {
    state.SkipWithError("no connection");
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!client.exchange()) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto n = static_cast<size_t>(state.iterations());
  report(state, elapsed, n, n);
}
BENCHMARK(BM_WireBaseline)->Arg(1000)->Arg(0)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kk::cardkit

BENCHMARK_MAIN();
