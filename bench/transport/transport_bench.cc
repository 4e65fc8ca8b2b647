// Packet building and parsing at the largest packet size, and the number of
// heap allocations they make (the packet path is meant to make none).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "cardkit/transport/transport.h"

namespace {
std::atomic<size_t> allocations{0};
}  // namespace

// Every allocation of this program passes through here.
void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace kk::cardkit {
namespace {

ReaderPacket largest_request() {
  ReaderPacket packet;
  packet.address = 0x0123;  // two-byte form: 290 payload bytes make 300
  packet.type = kPacketTypeCommand;
  packet.payload_length = 290;
  for (size_t i = 0; i < 290; ++i) packet.payload[i] = static_cast<uint8_t>(i);
  return packet;
}

// The natural-order form of a built packet, as a reply arrives.
std::array<uint8_t, kPacketSize> largest_reply() {
  std::array<uint8_t, kPacketSize> bytes{};
  const size_t n = packet_build(largest_request(), bytes);
  std::reverse(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  return bytes;
}

void report_allocations(benchmark::State& state, size_t before) {
  state.counters["allocs_per_iter"] = benchmark::Counter(static_cast<double>(allocations.load() - before) /
                                                         static_cast<double>(state.iterations()));
}

void BM_PacketBuild300(benchmark::State& state) {
  const ReaderPacket packet = largest_request();
  std::array<uint8_t, kPacketSize> buffer{};
  const size_t before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(packet_build(packet, buffer));
    benchmark::ClobberMemory();
  }
  report_allocations(state, before);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPacketSize);
}
BENCHMARK(BM_PacketBuild300);

void BM_PacketParse300(benchmark::State& state) {
  const auto bytes = largest_reply();
  ReaderPacket packet;
  const size_t before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(packet_parse(packet, bytes));
    benchmark::ClobberMemory();
  }
  report_allocations(state, before);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPacketSize);
}
BENCHMARK(BM_PacketParse300);

}  // namespace
}  // namespace kk::cardkit

BENCHMARK_MAIN();
