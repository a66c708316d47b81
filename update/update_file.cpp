#include "update/update_file.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace tamblet {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// The kernel maps a fresh buffer a page at a time; in 2 MiB pages it needs a
// five-hundredth of the faults, which is most of the cost of a large region.
ImageBuffer AllocateImage(size_t size) {
  if (size < kHugePage) return ImageBuffer(new (std::nothrow) uint8_t[size]);
  const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  void* bytes = ::operator new[](rounded, std::align_val_t{kHugePage}, std::nothrow);
  if (bytes != nullptr) ::madvise(bytes, rounded, MADV_HUGEPAGE);  // advice only
  return ImageBuffer(static_cast<uint8_t*>(bytes), FreeImage{true});
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

// The checks that need only the header, the block map and the file length,
// done before anything is allocated so that a small file cannot make us
// allocate a huge image.
bool FitsFile(const UpdateHeader& header, std::span<const uint8_t> file) {
  const uint64_t n = BlockCount(header.image_size);
  // Header and block map at the front; the checksum table (the last N bytes)
  // then lies inside the file as well.
  if (file.size() < kHeaderSize + n) return false;
  uint64_t present = 0;
  for (uint64_t i = 0; i < n; ++i) present += file[kHeaderSize + i] != 0;
  if (file.size() - kHeaderSize - n < present * kBlockSize) return false;
  // The device stage divides by chunk_size and sends target_select as a
  // 7-bit SysEx data byte.
  if (header.chunk_size == 0 || header.target_select >= 0x80) return false;
  for (const Region& region : header.regions) {
    if (region.size == 0) continue;
    if (uint64_t{region.address} + region.size > header.image_size) return false;
  }
  return true;
}

// Puts image bytes [start, start + count), taken from `data` or 0xFF where it
// is null, into the parts of the regions they cover.
void Place(const UpdateHeader& header, UpdateImage& image, uint64_t start, uint64_t count,
           const uint8_t* data) {
  for (size_t r = 0; r < 2; ++r) {
    const Region& region = header.regions[r];
    const uint64_t first = std::max<uint64_t>(start, region.address);
    const uint64_t end = std::min<uint64_t>(start + count, uint64_t{region.address} + region.size);
    if (first >= end) continue;
    uint8_t* to = image.regions[r].get() + (first - region.address);
    if (data != nullptr) {
      std::memcpy(to, data + (first - start), end - first);
    } else {
      std::memset(to, 0xFF, end - first);
    }
  }
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
  if (!FitsFile(header, file)) {
    result.failure = kFileFormatErrorText;
    return result;
  }

  UpdateImage image;
  for (size_t r = 0; r < 2; ++r) {
    if (header.regions[r].size == 0) continue;
    image.regions[r] = AllocateImage(header.regions[r].size);
    if (!image.regions[r]) {
      result.failure = kOutOfMemoryText;
      return result;
    }
  }

  const size_t n = BlockCount(header.image_size);
  const uint8_t* map = file.data() + kHeaderSize;
  const uint8_t* table = file.data() + file.size() - n;
  const uint8_t* cursor = map + n;
  // Each region byte is either copied or filled, so it is written once.
  for (size_t i = 0; i < n; ++i) {
    if (map[i] == 0) {
      Place(header, image, uint64_t{i} * kBlockSize, kBlockSize, nullptr);
      continue;
    }
    if (static_cast<uint8_t>(~SumBytes(cursor)) != table[i]) {
      result.failure = kFileFormatErrorText;
      return result;
    }
    Place(header, image, uint64_t{i} * kBlockSize, kBlockSize, cursor);
    cursor += kBlockSize;
  }
  Place(header, image, uint64_t{n} * kBlockSize, header.image_size - uint64_t{n} * kBlockSize,
        nullptr);
  result.image = std::move(image);
  result.progress = 2;
  return result;
}

void FreeImage::operator()(uint8_t* bytes) const {
  if (aligned) {
    ::operator delete[](bytes, std::align_val_t{kHugePage});
  } else {
    delete[] bytes;
  }
}

}  // namespace tamblet
