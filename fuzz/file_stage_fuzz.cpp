// The file stage on arbitrary bytes: it must never read outside the input, and
// whatever it accepts must be an image built by the rules.

#include <cstdlib>
#include <cstring>

#include "update/update_file.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tamblet;
  const std::span<const uint8_t> file(data, size);
  const FileStageResult result = CheckAndAssemble(file);
  if (result.failure != nullptr) {
    Require(result.progress == 1);
    Require(std::strcmp(result.failure, kFileFormatErrorText) == 0 ||
            std::strcmp(result.failure, kImageMemoryText) == 0);
    return 0;
  }

  Require(result.progress == 2 && result.image != nullptr && size >= kHeaderSize);
  const UpdateHeader& header = result.header;
  Require(std::memcmp(header.model_name, data, 16) == 0);
  Require(header.chunk_size >= 1 && header.target_select < 0x80);
  for (const Region& region : header.regions) {
    Require(region.size == 0 || uint64_t{region.address} + region.size <= header.image_size);
  }

  // Present blocks hold the file's data in order, every other byte is 0xFF,
  // and each present block's table entry is its checksum.
  const size_t n = BlockCount(header.image_size);
  const uint8_t* image = result.image.get();
  size_t cursor = kHeaderSize + n;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* block = image + i * kBlockSize;
    if (data[kHeaderSize + i] != 0) {
      Require(cursor + kBlockSize <= size);
      Require(std::memcmp(block, data + cursor, kBlockSize) == 0);
      uint8_t sum = 0;
      for (size_t k = 0; k < kBlockSize; ++k) sum = static_cast<uint8_t>(sum + block[k]);
      Require(static_cast<uint8_t>(~sum) == data[size - n + i]);
      cursor += kBlockSize;
    } else {
      for (size_t k = 0; k < kBlockSize; ++k) Require(block[k] == 0xFF);
    }
  }
  for (size_t k = n * kBlockSize; k < header.image_size; ++k) Require(image[k] == 0xFF);
  return 0;
}
