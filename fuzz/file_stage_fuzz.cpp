// The file stage on arbitrary bytes: it must never read outside the input, it
// must accept exactly the files the rules accept, and what it accepts must be
// the regions of an image built by the rules. Announced image sizes go up to
// 4 GiB; only inputs whose used regions exceed kMaxRegionBytes are skipped,
// since those regions are really allocated.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "update/update_file.h"

namespace {

constexpr uint64_t kMaxRegionBytes = uint64_t{256} << 10;

void Require(bool condition) {
  if (!condition) std::abort();
}

uint8_t Checksum(const uint8_t* block) {
  uint8_t sum = 0;
  for (size_t k = 0; k < tamblet::kBlockSize; ++k) sum = static_cast<uint8_t>(sum + block[k]);
  return static_cast<uint8_t>(~sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tamblet;
  const std::span<const uint8_t> file(data, size);
  UpdateHeader header;
  if (size >= kHeaderSize) {
    header = ParseHeader(file.first<kHeaderSize>());
    if (uint64_t{header.regions[0].size} + header.regions[1].size > kMaxRegionBytes) return 0;
  }
  const FileStageResult result = CheckAndAssemble(file);
  Require(result.progress == (result.failure == nullptr ? 2 : 1));
  if (result.failure != nullptr && std::strcmp(result.failure, kOutOfMemoryText) == 0) return 0;

  // The rules, written out apart from the code under test.
  const uint64_t n = BlockCount(header.image_size);
  bool accepted = size >= kHeaderSize && header.chunk_size >= 1 && header.target_select < 0x80 &&
                  size >= kHeaderSize + n;
  for (const Region& region : header.regions)
    accepted = accepted &&
               (region.size == 0 || uint64_t{region.address} + region.size <= header.image_size);
  uint64_t present = 0;
  for (uint64_t i = 0; accepted && i < n; ++i) present += data[kHeaderSize + i] != 0;
  accepted = accepted && kHeaderSize + n + present * kBlockSize <= size;
  size_t cursor = kHeaderSize + n;
  for (uint64_t i = 0; accepted && i < n; ++i) {
    if (data[kHeaderSize + i] == 0) continue;
    accepted = Checksum(data + cursor) == data[size - n + i];
    cursor += kBlockSize;
  }
  Require(accepted == (result.failure == nullptr));
  if (!accepted) {
    Require(std::strcmp(result.failure, kFileFormatErrorText) == 0);
    Require(!result.image.regions[0] && !result.image.regions[1]);
    return 0;
  }
  Require(std::memcmp(result.header.model_name, data, 16) == 0);

  // Each region byte is its block's file byte where the block is present, else
  // 0xFF; compared a block's share at a time.
  static const std::vector<uint8_t> blank(kBlockSize, 0xFF);
  for (size_t r = 0; r < 2; ++r) {
    const Region& region = header.regions[r];
    const uint8_t* bytes = result.image.regions[r].get();
    Require((bytes != nullptr) == (region.size != 0));
    const uint64_t end = uint64_t{region.address} + region.size;
    cursor = kHeaderSize + n;
    for (uint64_t block = 0, a = region.address; a < end; a = (a / kBlockSize + 1) * kBlockSize) {
      for (; block < a / kBlockSize && block < n; ++block)
        if (data[kHeaderSize + block] != 0) cursor += kBlockSize;
      const uint64_t count = std::min<uint64_t>(end, (a / kBlockSize + 1) * kBlockSize) - a;
      const bool from_file = block < n && block == a / kBlockSize && data[kHeaderSize + block];
      const uint8_t* expected = from_file ? data + cursor + a % kBlockSize : blank.data();
      Require(std::memcmp(bytes + (a - region.address), expected, count) == 0);
    }
  }
  return 0;
}
