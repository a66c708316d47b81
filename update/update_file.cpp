#include "update/update_file.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace tamblet {
namespace {

// The kernel maps a fresh image a page at a time; in 2 MiB pages it needs a
// five-hundredth of the faults, which is most of the cost of a large image.
ImageBuffer AllocateImage(size_t size) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size < kHugePage) return ImageBuffer(static_cast<uint8_t*>(std::malloc(size ? size : 1)));
  const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  ImageBuffer image(static_cast<uint8_t*>(std::aligned_alloc(kHugePage, rounded)));
  if (image) ::madvise(image.get(), rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
  return image;
}

uint32_t ReadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// A plain byte loop with a byte-wide accumulator: the compiler turns it into
// vector adds, which keeps the check close to the speed of the copy.
uint8_t SumBytes(const uint8_t* p) {
  uint8_t sum = 0;
  for (size_t i = 0; i < kBlockSize; ++i) sum = static_cast<uint8_t>(sum + p[i]);
  return sum;
}

// The checks that need only the header and the file length, done before the
// image is allocated so that a small file cannot make us allocate a huge one.
bool HeaderFitsFile(const UpdateHeader& header, size_t file_size) {
  const uint64_t n = BlockCount(header.image_size);
  // Header and block map at the front; the checksum table (the last N bytes)
  // then lies inside the file as well.
  if (file_size < kHeaderSize + n) return false;
  // The device stage divides by chunk_size and sends target_select as a
  // 7-bit SysEx data byte.
  if (header.chunk_size == 0 || header.target_select >= 0x80) return false;
  for (const Region& region : header.regions) {
    if (region.size == 0) continue;
    if (uint64_t{region.address} + region.size > header.image_size) return false;
  }
  return true;
}

}  // namespace

UpdateHeader ParseHeader(std::span<const uint8_t, kHeaderSize> bytes) {
  UpdateHeader header;
  std::memcpy(header.model_name, bytes.data(), sizeof header.model_name);
  std::memcpy(header.version, bytes.data() + 16, sizeof header.version);
  header.target_select = bytes[80];
  header.chunk_size = ReadBigEndian32(bytes.data() + 104);
  header.image_size = ReadBigEndian32(bytes.data() + 108);
  for (size_t r = 0; r < 2; ++r) {
    header.regions[r].address = ReadBigEndian32(bytes.data() + 112 + 8 * r);
    header.regions[r].size = ReadBigEndian32(bytes.data() + 116 + 8 * r);
  }
  return header;
}

uint8_t BlockChecksum(std::span<const uint8_t, kBlockSize> block) {
  return static_cast<uint8_t>(~SumBytes(block.data()));
}

FileStageResult CheckAndAssemble(std::span<const uint8_t> file) {
  FileStageResult result;
  result.progress = 1;  // the caller has read the file
  if (file.size() < kHeaderSize) {
    result.failure = kFileFormatErrorText;
    return result;
  }
  result.header = ParseHeader(file.first<kHeaderSize>());
  const UpdateHeader& header = result.header;
  if (!HeaderFitsFile(header, file.size())) {
    result.failure = kFileFormatErrorText;
    return result;
  }

  const size_t image_size = header.image_size;
  result.image = AllocateImage(image_size);
  uint8_t* image = result.image.get();
  if (image == nullptr) {
    result.failure = kImageMemoryText;
    return result;
  }

  const size_t n = BlockCount(header.image_size);
  const uint8_t* map = file.data() + kHeaderSize;
  const uint8_t* table = file.data() + file.size() - n;
  size_t cursor = kHeaderSize + n;
  // Each block is either copied or filled, so the image is written once.
  for (size_t i = 0; i < n; ++i) {
    uint8_t* block = image + i * kBlockSize;
    if (map[i] == 0) {
      std::memset(block, 0xFF, kBlockSize);
      continue;
    }
    if (file.size() - cursor < kBlockSize ||
        static_cast<uint8_t>(~SumBytes(file.data() + cursor)) != table[i]) {
      std::memset(block, 0xFF, image_size - i * kBlockSize);
      result.failure = kFileFormatErrorText;
      return result;
    }
    std::memcpy(block, file.data() + cursor, kBlockSize);
    cursor += kBlockSize;
  }
  std::memset(image + n * kBlockSize, 0xFF, image_size - n * kBlockSize);
  result.progress = 2;
  return result;
}

}  // namespace tamblet
