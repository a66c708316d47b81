#pragma once
// Writes update files: for tests, seed files and the companion tool. The
// program itself only reads them.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "update/update_file.h"

namespace tamblet {

// Which blocks of the image a written file carries.
enum class BlockChoice {
  kAll,      // every block
  kNone,     // no block: the file describes an all-0xFF image
  kNotBlank  // the blocks that hold anything other than 0xFF
};

// The 128-byte header; bytes no field covers are 0.
std::array<uint8_t, kHeaderSize> EncodeHeader(const UpdateHeader& header);

// The block map (BlockCount(image_size) bytes, 1 for present) for `choice`.
// Image bytes beyond image.size() count as 0xFF.
std::vector<uint8_t> ChooseBlocks(uint32_t image_size, std::span<const uint8_t> image,
                                  BlockChoice choice);

// A well-formed file for `header` and `image`, carrying the blocks that `map`
// marks non-zero. `map` gives one byte per block (missing entries mean absent);
// its bytes are written as they are. Image bytes beyond image.size() count as
// 0xFF. Header values are written as given, even ones the file stage refuses.
std::vector<uint8_t> WriteUpdateFile(const UpdateHeader& header, std::span<const uint8_t> image,
                                     std::span<const uint8_t> map);
std::vector<uint8_t> WriteUpdateFile(const UpdateHeader& header, std::span<const uint8_t> image,
                                     BlockChoice choice);

}  // namespace tamblet
