// Voro_Poll over a pseudo-terminal at 9600 baud against the emulator, which
// answers at once. Reports the time of one poll exchange against the wire
// floor: request, reply and acknowledgement at 10 bits per byte. The link
// dispatches window messages at a 10 ms cadence but waits on the port itself
// between looks, so it goes on as soon as the reply's bytes are there.
//
// Two lines: the bare pseudo-terminal, which carries bytes without wire time
// (the exchange then takes a small fraction of the floor, and all of it is
// the driver's own), and a paced line on which the emulator takes every byte
// in and sends every byte out at 9600 baud, as a real line does (polls come
// back to back, so each request waits behind the previous acknowledgement,
// and the floor holds all three frames).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

#include "emulators/validator/validator_emulator.h"
#include "notecore.h"

namespace {

constexpr double kBitsPerByte = 10.0;
constexpr double kBaud = 9600.0;
constexpr int kRequestBytes = 6;
constexpr int kAckBytes = 6;
constexpr int kReplyFraming = 5;  // SYNC, ADR, LNG and the CRC

void BM_PollExchange(benchmark::State& state) {
  const auto wire_baud = static_cast<uint32_t>(state.range(0));
  kk::emu::ValidatorEmulator emulator(kk::emu::ValidatorEmulator::Options{0, 2500, wire_baud});
  if (!emulator.start()) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  setenv("KIOSKKIT_COM9", emulator.device_path().c_str(), 1);
  if (Voro_OpenPort(9) != 0) {
    state.SkipWithError("port did not open");
    return;
  }
  uint8_t buf[128];
  int32_t len = 0;
  // Into the idle state, so that every measured reply has the same size.
  (void)Voro_EnableBillStack(buf, &len);
  for (int i = 0; i < 5 && !(Voro_Poll(buf, &len) == 0 && buf[0] == 0x14); ++i) {
  }

  double total_s = 0;
  int failures = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (Voro_Poll(buf, &len) != 0) ++failures;
    total_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double floor_s = (kRequestBytes + kReplyFraming + len + kAckBytes) * kBitsPerByte / kBaud;
  const double per_poll_s = total_s / static_cast<double>(state.iterations());
  state.counters["exchange_ms"] = per_poll_s * 1000.0;
  state.counters["wire_floor_ms"] = floor_s * 1000.0;
  state.counters["ratio_to_floor"] = per_poll_s / floor_s;
  state.counters["failures"] = failures;
  Voro_ClosePort();
  unsetenv("KIOSKKIT_COM9");
}
BENCHMARK(BM_PollExchange)
    ->ArgName("wire_baud")
    ->Arg(0)
    ->Arg(9600)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
