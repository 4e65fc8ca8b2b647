// Speed of cardkit's DES against OpenSSL's DES on the same work: one block
// with a ready schedule, des3_enc_dat over 8 and 256 bytes and pboc_des3_mac
// over 256 bytes (both set up their keys on every call, so OpenSSL does too).
// After the runs it prints, per pair, the ratio OpenSSL time / our time:
// 1.0 or more means ours is at least as fast.
#include <benchmark/benchmark.h>
#include <openssl/des.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cardkit.h"
#include "cardkit/crypto/des.h"

namespace {

constexpr std::array<uint8_t, 16> kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                          0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

std::vector<uint8_t> message(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 29 + 7);
  return bytes;
}

void set_openssl_key(const uint8_t* key, DES_key_schedule* schedule) {
  DES_cblock block;
  std::memcpy(block, key, 8);
  DES_set_key_unchecked(&block, schedule);
}

// ---- One block, schedule ready ----

void des_block_kit(benchmark::State& state) {
  const kk::cardkit::DesKeyContext context(std::span<const uint8_t, 8>(kKey.data(), 8));
  std::array<uint8_t, 8> block = {1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    kk::cardkit::des_block(block, context.encryption());
    benchmark::DoNotOptimize(block);
  }
}

void des_block_openssl(benchmark::State& state) {
  DES_key_schedule schedule;
  set_openssl_key(kKey.data(), &schedule);
  DES_cblock block = {1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    DES_ecb_encrypt(&block, &block, &schedule, DES_ENCRYPT);
    benchmark::DoNotOptimize(block);
  }
}

// ---- des3_enc_dat: two keys set up per call, then E-D-E per block ----

void des3_enc_dat_kit(benchmark::State& state) {
  std::vector<uint8_t> data = message(static_cast<size_t>(state.range(0)));
  const auto length = static_cast<int32_t>(data.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(des3_enc_dat(data.data(), length, kKey.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

void des3_enc_dat_openssl(benchmark::State& state) {
  std::vector<uint8_t> data = message(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    DES_key_schedule k1;
    DES_key_schedule k2;
    set_openssl_key(kKey.data(), &k1);
    set_openssl_key(kKey.data() + 8, &k2);
    for (size_t offset = 0; offset < data.size(); offset += 8) {
      auto* block = reinterpret_cast<DES_cblock*>(data.data() + offset);
      DES_ecb2_encrypt(block, block, &k1, &k2, DES_ENCRYPT);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// ---- pboc_des3_mac: keys per call, CBC under K1, final D(K2) E(K1) ----

void pboc_des3_mac_kit(benchmark::State& state) {
  const std::vector<uint8_t> data = message(static_cast<size_t>(state.range(0)));
  std::array<uint8_t, 4> mac{};
  for (auto _ : state) {
    pboc_des3_mac(data.data(), static_cast<int32_t>(data.size()), kKey.data(), mac.data());
    benchmark::DoNotOptimize(mac);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void pboc_des3_mac_openssl(benchmark::State& state) {
  const std::vector<uint8_t> data = message(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> padded(data.size() + 8);
  std::vector<uint8_t> cbc(padded.size());
  std::array<uint8_t, 4> mac{};
  for (auto _ : state) {
    DES_key_schedule k1;
    DES_key_schedule k2;
    set_openssl_key(kKey.data(), &k1);
    set_openssl_key(kKey.data() + 8, &k2);
    // Padding method 2: 0x80 then zeros to whole blocks (one block more for
    // a multiple of 8).
    const size_t padded_size = (data.size() / 8 + 1) * 8;
    std::memcpy(padded.data(), data.data(), data.size());
    padded[data.size()] = 0x80;
    std::memset(padded.data() + data.size() + 1, 0, padded_size - data.size() - 1);
    DES_cblock iv = {0};
    DES_ncbc_encrypt(padded.data(), cbc.data(), static_cast<long>(padded_size), &k1, &iv, DES_ENCRYPT);
    DES_cblock last;
    DES_cblock step;
    std::memcpy(last, cbc.data() + padded_size - 8, 8);
    DES_ecb_encrypt(&last, &step, &k2, DES_DECRYPT);
    DES_ecb_encrypt(&step, &last, &k1, DES_ENCRYPT);
    std::memcpy(mac.data(), last, 4);
    benchmark::DoNotOptimize(mac);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(des_block_kit);
BENCHMARK(des_block_openssl);
BENCHMARK(des3_enc_dat_kit)->Arg(8)->Arg(256);
BENCHMARK(des3_enc_dat_openssl)->Arg(8)->Arg(256);
BENCHMARK(pboc_des3_mac_kit)->Arg(256);
BENCHMARK(pboc_des3_mac_openssl)->Arg(256);

// Remembers each benchmark's CPU time per iteration so that the pairs can
// be compared once everything has run. CPU time, and the best of several
// repetitions (--benchmark_repetitions), because the wall clock of a shared
// build machine also counts the time other processes hold the core.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // Single runs, or the median when only aggregates are reported.
      const bool usable = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
      if (!usable || run.iterations <= 0 || run.error_occurred) continue;
      const double time = run.GetAdjustedCPUTime();
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      const auto [entry, added] = times_.emplace(name, time);
      if (!added && time < entry->second) entry->second = time;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_ratios() const {
    const char* pairs[][3] = {
        {"single DES block", "des_block_kit", "des_block_openssl"},
        {"des3_enc_dat 8 bytes", "des3_enc_dat_kit/8", "des3_enc_dat_openssl/8"},
        {"des3_enc_dat 256 bytes", "des3_enc_dat_kit/256", "des3_enc_dat_openssl/256"},
        {"pboc_des3_mac 256 bytes", "pboc_des3_mac_kit/256", "pboc_des3_mac_openssl/256"}};
    std::printf("\nOpenSSL CPU time / cardkit CPU time, best run (>= 1.0: cardkit at least as fast)\n");
    for (const auto& pair : pairs) {
      const auto ours = times_.find(pair[1]);
      const auto theirs = times_.find(pair[2]);
      if (ours == times_.end() || theirs == times_.end() || ours->second <= 0) continue;
      std::printf("  %-26s %.2f\n", pair[0], theirs->second / ours->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
