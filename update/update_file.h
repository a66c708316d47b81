#pragma once
// The update file: a 128-byte header, a presence map of 4096-byte blocks, the
// present blocks' data, and one checksum byte per block at the end of the file.
// CheckAndAssemble is the file stage's logic: bytes in, header and image out.

#include <cstddef>
#include <cstdint>
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

struct FileStageResult {
  const char* failure = nullptr;  // null on success, else the status text
  uint32_t progress = 0;          // progress position reached (of 0..2)
  UpdateHeader header;
  std::unique_ptr<uint8_t[]> image;  // image_size bytes on success
};

// Checks every present block against its checksum and assembles the image, in
// one pass. Never reads outside `file`.
FileStageResult CheckAndAssemble(std::span<const uint8_t> file);

}  // namespace tamblet
