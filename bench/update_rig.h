#pragma once
// What the whole-update benchmarks share: real reply waits without the fixed
// wait after the open, and a sample update file of pseudo-random bytes.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/wait_policy.h"
#include "update/update_writer.h"

namespace tamblet::bench {

class NoOpenWait : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return RealTimeWaits().WaitFor(cv, lock, ms, ready);
  }
  void Sleep(uint32_t) override {}
};

// Model "BENCH-1", chunk 0x10000, every block present; returns its path.
inline std::string WriteSampleFile(const std::string& name, uint32_t image_size, Region first,
                                   Region second = {}) {
  UpdateHeader header;
  std::strcpy(header.model_name, "BENCH-1");
  std::memcpy(header.version, "1.00", 4);
  header.target_select = 1;
  header.chunk_size = 0x10000;
  header.image_size = image_size;
  header.regions[0] = first;
  header.regions[1] = second;
  std::vector<uint8_t> image(image_size);
  uint32_t x = 1;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  const auto bytes = WriteUpdateFile(header, image, BlockChoice::kAll);
  const auto path = std::filesystem::temp_directory_path() / name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path.string();
}

}  // namespace tamblet::bench
