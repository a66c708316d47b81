#pragma once
// The update file: a 128-byte header, a presence map of 4096-byte blocks, the
// present blocks' data, and one checksum byte per block at the end of the file.
// CheckAndAssemble is the file stage's logic: bytes in, header and image out.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace tamblet {

inline constexpr size_t kHeaderSize = 128;
inline constexpr size_t kBlockSize = 4096;

inline constexpr char kFileReadingText[] = "File reading....";
inline constexpr char kFileNotFoundText[] = "File not found!!";
inline constexpr char kFileReadErrorText[] = "File read error!!";
inline constexpr char kReadBufferMemoryText[] = "Not enough memory! try closing some applications.";
inline constexpr char kImageMemoryText[] = "Not enough memory! try closing some applications";
inline constexpr char kFileFormatErrorText[] = "File format error!!";

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

// The image's memory, from malloc: large images are placed in huge pages.
struct FreeImage {
  void operator()(uint8_t* image) const { std::free(image); }
};
using ImageBuffer = std::unique_ptr<uint8_t[], FreeImage>;

struct FileStageResult {
  const char* failure = nullptr;  // null on success, else the status text
  uint32_t progress = 0;          // progress position reached (of 0..2)
  UpdateHeader header;
  // image_size bytes on success. After a failure in the block pass it holds the
  // blocks before the failing one, the rest 0xFF; null for earlier failures.
  ImageBuffer image;
};

// Checks every present block against its checksum and assembles the image, in
// one pass. Never reads outside `file`. Besides a checksum mismatch it refuses,
// with the format error, a file too short for what its header announces, a
// `chunk_size` of 0, a used region outside the image, and a `target_select`
// that cannot travel in a SysEx data byte (0x80 or more).
FileStageResult CheckAndAssemble(std::span<const uint8_t> file);

}  // namespace tamblet
