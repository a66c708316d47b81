// The file stage on a 64 MiB image with every block present, against a plain
// memcpy of as many bytes: the check and the assembly should cost little more
// than the copy they must make anyway. And a 2 MiB file announcing a 4 GiB
// image with no block present: its cost must follow the file, not the image.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "update/update_file.h"
#include "update/update_writer.h"

namespace {

constexpr uint32_t kImageSize = 64u << 20;

const std::vector<uint8_t>& UpdateFile() {
  static const std::vector<uint8_t> file = [] {
    std::vector<uint8_t> image(kImageSize);
    uint32_t x = 1;
    for (auto& b : image) {
      x = x * 1664525 + 1013904223;
      b = static_cast<uint8_t>(x >> 24);
    }
    tamblet::UpdateHeader header;
    std::memcpy(header.model_name, "QX-7", 4);
    header.chunk_size = 4096;
    header.image_size = kImageSize;
    header.regions[0] = {0, kImageSize};
    return tamblet::WriteUpdateFile(header, image, tamblet::BlockChoice::kAll);
  }();
  return file;
}

void BM_CheckAndAssemble(benchmark::State& state) {
  const std::vector<uint8_t>& file = UpdateFile();
  for (auto _ : state) {
    tamblet::FileStageResult result = tamblet::CheckAndAssemble(file);
    if (result.failure != nullptr) state.SkipWithError(result.failure);
    benchmark::DoNotOptimize(result.image.regions[0].get());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * kImageSize);
}
BENCHMARK(BM_CheckAndAssemble)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CheckAndAssembleAnnounced4GiB(benchmark::State& state) {
  tamblet::UpdateHeader header;
  std::memcpy(header.model_name, "QX-7", 4);
  header.chunk_size = 4096;
  header.image_size = 0xFFFFFFFF;
  header.regions[0] = {0, 0x10000};
  header.regions[1] = {0xFFFF0000, 0xFFFF};
  const std::vector<uint8_t> file =
      tamblet::WriteUpdateFile(header, {}, tamblet::BlockChoice::kNone);
  for (auto _ : state) {
    tamblet::FileStageResult result = tamblet::CheckAndAssemble(file);
    if (result.failure != nullptr) state.SkipWithError(result.failure);
    benchmark::DoNotOptimize(result.image.regions[0].get());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * int64_t(file.size()));
}
BENCHMARK(BM_CheckAndAssembleAnnounced4GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Into a fresh allocation each time, as the file stage must do.
void BM_MemcpyFresh(benchmark::State& state) {
  const std::vector<uint8_t>& file = UpdateFile();
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> image(new uint8_t[kImageSize]);
    std::memcpy(image.get(), file.data() + 128 + kImageSize / 4096, kImageSize);
    benchmark::DoNotOptimize(image.get());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * kImageSize);
}
BENCHMARK(BM_MemcpyFresh)->Unit(benchmark::kMillisecond)->UseRealTime();

// Into a buffer already mapped: the copy alone.
void BM_MemcpyWarm(benchmark::State& state) {
  const std::vector<uint8_t>& file = UpdateFile();
  std::vector<uint8_t> image(kImageSize);
  for (auto _ : state) {
    std::memcpy(image.data(), file.data() + 128 + kImageSize / 4096, kImageSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * kImageSize);
}
BENCHMARK(BM_MemcpyWarm)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
