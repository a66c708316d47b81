#pragma once
// The update file: a 128-byte header, a presence map of 4096-byte blocks, the
// present blocks' data, and one checksum byte per block at the end of the file.
// CheckAndAssemble is the file stage's logic: bytes in, header and image out.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/status_texts.h"

namespace tamblet {

inline constexpr size_t kHeaderSize = 128;
inline constexpr size_t kBlockSize = 4096;

struct Region {
  uint32_t address = 0;
  uint32_t size = 0;  // 0: unused
};

struct UpdateHeader {
  char model_name[16] = {};  // NUL-terminated when well formed
  char version[4] = {};      // a NUL ends it early
  uint8_t target_select = 0;
  uint32_t chunk_size = 0;
  uint32_t image_size = 0;
  Region regions[2];
};

// Reads the header fields from the first 128 bytes.
UpdateHeader ParseHeader(std::span<const uint8_t, kHeaderSize> bytes);

// N: the number of whole 4096-byte blocks in an image of `image_size` bytes.
constexpr uint32_t BlockCount(uint32_t image_size) { return image_size >> 12; }

// The checksum byte a block's table entry must hold: the one's complement of
// the 8-bit sum of its bytes.
uint8_t BlockChecksum(std::span<const uint8_t, kBlockSize> block);

// Memory for image bytes; large buffers are aligned for huge pages.
struct FreeImage {
  bool aligned = false;
  void operator()(uint8_t* bytes) const;
};
using ImageBuffer = std::unique_ptr<uint8_t[], FreeImage>;

// The update image as the device stage reads it. Only the used regions are
// ever sent or verified, so only their bytes are kept: region r's buffer holds
// header.regions[r].size bytes, the present blocks' data and 0xFF elsewhere.
// An image announced as 4 GiB costs nothing beyond its regions.
struct UpdateImage {
  ImageBuffer regions[2];  // null for an unused region
};

struct FileStageResult {
  const char* failure = nullptr;  // null on success, else the status text
  uint32_t progress = 0;          // progress position reached (of 0..2)
  UpdateHeader header;
  UpdateImage image;  // assembled on success only
};

// Checks every present block against its checksum and assembles the image, in
// one pass. Never reads outside `file`. Besides a checksum mismatch it refuses,
// with the format error and before allocating anything, a file too short for
// its header, block map and present blocks, a `chunk_size` of 0, a used region
// outside the image, and a `target_select` that cannot travel in a SysEx data
// byte (0x80 or more).
FileStageResult CheckAndAssemble(std::span<const uint8_t> file);

}  // namespace tamblet
