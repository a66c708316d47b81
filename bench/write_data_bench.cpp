// How fast a full WriteData frame is built, next to a plain copy of the same
// payload as a yardstick.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "protocol/frame.h"

namespace {

std::vector<uint8_t> Payload() {
  std::vector<uint8_t> data(tamblet::kMaxWriteDataBytes);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  return data;
}

void BM_BuildWriteData(benchmark::State& state) {
  const std::vector<uint8_t> data = Payload();
  std::vector<uint8_t> frame(4096);
  uint32_t address = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tamblet::BuildWriteData(frame.data(), address, data.data(), tamblet::kMaxWriteDataBytes));
    benchmark::ClobberMemory();
    address += tamblet::kMaxWriteDataBytes;
  }
  state.SetBytesProcessed(state.iterations() * tamblet::kMaxWriteDataBytes);
}
BENCHMARK(BM_BuildWriteData);

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t> data = Payload();
  std::vector<uint8_t> frame(4096);
  for (auto _ : state) {
    std::memcpy(frame.data() + 19, data.data(), data.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * tamblet::kMaxWriteDataBytes);
}
BENCHMARK(BM_Memcpy);

}  // namespace

BENCHMARK_MAIN();
