#pragma once
// Reads a whole file into one buffer: opened read-only, measured, read, closed
// on every path.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tamblet {

enum class ReadStatus { kOk, kNotFound, kNoMemory, kReadError };

struct FileBytes {
  std::unique_ptr<uint8_t[]> data;
  uint64_t length = 0;
};

// `length_out` is set as soon as the file is measured, also when the read then fails.
ReadStatus ReadWholeFile(const std::string& path, FileBytes& out, uint64_t& length_out);

// The file stage's status text for a failed read; null for kOk.
const char* ReadFailureText(ReadStatus status);

// Reads the first out.size() bytes of a file; false when the file cannot be
// opened or read, or is shorter.
bool ReadFileStart(const std::string& path, std::span<uint8_t> out);

}  // namespace tamblet
