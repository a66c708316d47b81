#pragma once
// Update files for tests and benchmarks, made with the companion tool's writer
// and written to the temporary folder under names of this process's own (ctest
// runs tests side by side); they are removed when the process ends.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_writer.h"

namespace tamblet::test {

// A new path in the temporary folder; what it holds at exit is removed.
inline std::string TempPath(std::string_view suffix = "") {
  static struct Paths {
    std::mutex mutex;
    std::vector<std::filesystem::path> list;
    ~Paths() {
      std::error_code ignored;
      for (const auto& path : list) std::filesystem::remove_all(path, ignored);
    }
  } paths;
  std::lock_guard<std::mutex> lock(paths.mutex);
  const std::string name = "tamblet-test-" + std::to_string(::getpid()) + "-" +
                           std::to_string(paths.list.size()) + std::string(suffix);
  return paths.list.emplace_back(std::filesystem::temp_directory_path() / name).string();
}

// `bytes` in a file of its own; returns its path.
inline std::string WriteTempFile(std::span<const uint8_t> bytes, std::string_view suffix = ".pgm") {
  const std::string path = TempPath(suffix);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

// Pseudo-random bytes: no two blocks of the image alike.
inline std::vector<uint8_t> SampleImage(uint32_t size) {
  std::vector<uint8_t> image(size);
  uint32_t x = 1;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  return image;
}

// An update file for `header` with every block of `image` present; returns its path.
inline std::string TempUpdateFile(const UpdateHeader& header, std::span<const uint8_t> image) {
  return WriteTempFile(WriteUpdateFile(header, image, BlockChoice::kAll));
}

}  // namespace tamblet::test
