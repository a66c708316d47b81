#include "update/update_writer.h"

#include <algorithm>
#include <cstring>

namespace tamblet {
namespace {

void WriteBigEndian32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

// Block i of the image, padded with 0xFF where the image ends early.
std::array<uint8_t, kBlockSize> TakeBlock(std::span<const uint8_t> image, size_t i) {
  std::array<uint8_t, kBlockSize> block;
  block.fill(0xFF);
  const size_t start = i * kBlockSize;
  if (start < image.size()) {
    const size_t count = std::min(kBlockSize, image.size() - start);
    std::memcpy(block.data(), image.data() + start, count);
  }
  return block;
}

}  // namespace

std::array<uint8_t, kHeaderSize> EncodeHeader(const UpdateHeader& header) {
  std::array<uint8_t, kHeaderSize> bytes{};
  std::memcpy(bytes.data(), header.model_name, sizeof header.model_name);
  std::memcpy(bytes.data() + 16, header.version, sizeof header.version);
  bytes[80] = header.target_select;
  WriteBigEndian32(bytes.data() + 104, header.chunk_size);
  WriteBigEndian32(bytes.data() + 108, header.image_size);
  for (size_t r = 0; r < 2; ++r) {
    WriteBigEndian32(bytes.data() + 112 + 8 * r, header.regions[r].address);
    WriteBigEndian32(bytes.data() + 116 + 8 * r, header.regions[r].size);
  }
  return bytes;
}

std::vector<uint8_t> ChooseBlocks(uint32_t image_size, std::span<const uint8_t> image,
                                  BlockChoice choice) {
  const size_t n = BlockCount(image_size);
  std::vector<uint8_t> map(n, choice == BlockChoice::kAll ? 1 : 0);
  if (choice == BlockChoice::kNotBlank) {
    for (size_t i = 0; i < n; ++i) {
      const auto block = TakeBlock(image, i);
      map[i] = std::any_of(block.begin(), block.end(), [](uint8_t b) { return b != 0xFF; });
    }
  }
  return map;
}

std::vector<uint8_t> WriteUpdateFile(const UpdateHeader& header, std::span<const uint8_t> image,
                                     std::span<const uint8_t> map) {
  const size_t n = BlockCount(header.image_size);
  const auto present = [&](size_t i) { return i < map.size() && map[i] != 0; };
  const auto header_bytes = EncodeHeader(header);
  std::vector<uint8_t> file(header_bytes.begin(), header_bytes.end());
  for (size_t i = 0; i < n; ++i) file.push_back(present(i) ? map[i] : 0);
  std::vector<uint8_t> table(n, 0xFF);  // entries of absent blocks are never read
  for (size_t i = 0; i < n; ++i) {
    if (!present(i)) continue;
    const auto block = TakeBlock(image, i);
    file.insert(file.end(), block.begin(), block.end());
    table[i] = BlockChecksum(block);
  }
  file.insert(file.end(), table.begin(), table.end());
  return file;
}

std::vector<uint8_t> WriteUpdateFile(const UpdateHeader& header, std::span<const uint8_t> image,
                                     BlockChoice choice) {
  return WriteUpdateFile(header, image, ChooseBlocks(header.image_size, image, choice));
}

}  // namespace tamblet
