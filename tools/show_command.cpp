// tamblet-pgm inspect: what the file says, and whether Load would accept it.

#include <cstdio>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/pgm_commands.h"
#include "update/file_reader.h"
#include "update/update_file.h"

namespace tamblet::pgm {
namespace {

std::string Hex(uint64_t value, int digits = 8) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// Header text as a quoted string; bytes that are not printable are escaped.
std::string Quoted(const char* text, size_t width) {
  std::string quoted = "\"";
  for (size_t i = 0; i < width && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      quoted += static_cast<char>(c);
    } else {
      quoted += "\\x" + Hex(c, 2).substr(2);
    }
  }
  return quoted + "\"";
}

bool HasNul(const char* text, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    if (text[i] == '\0') return true;
  }
  return false;
}

// Block numbers as ranges: "0-3, 7, 9-12".
class RangeList {
 public:
  void Add(size_t i) {
    if (!ranges_.empty() && ranges_.back().second + 1 == i) {
      ranges_.back().second = i;
    } else {
      ranges_.emplace_back(i, i);
    }
    ++count_;
  }
  std::string Text() const {
    std::string text;
    for (const auto& [first, last] : ranges_) {
      if (!text.empty()) text += ", ";
      text += std::to_string(first);
      if (last != first) text += "-" + std::to_string(last);
    }
    return text.empty() ? "none" : text;
  }
  size_t count() const { return count_; }

 private:
  std::vector<std::pair<size_t, size_t>> ranges_;
  size_t count_ = 0;
};

void PrintHeader(const UpdateHeader& h, std::ostream& out) {
  out << "model name: " << Quoted(h.model_name, sizeof h.model_name);
  if (!HasNul(h.model_name, sizeof h.model_name)) out << " (no NUL: matches no device)";
  out << "\nversion: " << Quoted(h.version, sizeof h.version) << "\n";
  out << "target select: " << Hex(h.target_select, 2);
  if (h.target_select >= 0x80) out << " (cannot travel in a SysEx data byte)";
  out << "\nchunk size: " << h.chunk_size << " (" << Hex(h.chunk_size) << ")";
  if (h.chunk_size == 0) out << " (must be at least 1)";
  out << "\nimage size: " << h.image_size << " (" << Hex(h.image_size) << "), "
      << BlockCount(h.image_size) << " blocks\n";
  for (size_t r = 0; r < 2; ++r) {
    const Region& region = h.regions[r];
    out << "region " << r << ": ";
    if (region.size == 0) {
      out << "unused\n";
      continue;
    }
    const uint64_t end = uint64_t{region.address} + region.size;
    out << "address " << Hex(region.address) << " size " << Hex(region.size);
    if (end > h.image_size) out << " (ends at " << Hex(end, 9) << ", past the image)";
    out << "\n";
  }
}

// Walks every present block, unlike the file stage, which stops at the first
// bad one: a report names them all.
void PrintBlocks(std::span<const uint8_t> file, const UpdateHeader& h, std::ostream& out) {
  const size_t n = BlockCount(h.image_size);
  if (file.size() < kHeaderSize + n) {
    out << "block map: cut short (" << n << " bytes needed after the header)\n";
    return;
  }
  const uint8_t* map = file.data() + kHeaderSize;
  const uint8_t* table = file.data() + file.size() - n;
  RangeList present, differ, missing;
  size_t cursor = kHeaderSize + n;
  for (size_t i = 0; i < n; ++i) {
    if (map[i] == 0) continue;
    present.Add(i);
    if (file.size() - cursor < kBlockSize) {
      missing.Add(i);
      continue;
    }
    const std::span<const uint8_t, kBlockSize> block(file.data() + cursor, kBlockSize);
    if (BlockChecksum(block) != table[i]) differ.Add(i);
    cursor += kBlockSize;
  }
  out << "present blocks: " << present.count() << " of " << n << ": " << present.Text() << "\n";
  const size_t table_start = file.size() - n;
  const size_t between = cursor < table_start ? table_start - cursor : 0;
  if (between > 0 && missing.count() == 0)
    out << "bytes between block data and checksum table: " << between << "\n";
  if (missing.count() > 0) out << "blocks past the end of the file: " << missing.Text() << "\n";
  if (differ.count() == 0 && missing.count() == 0) {
    out << "checksums: all hold\n";
  } else if (differ.count() > 0) {
    out << "checksums: " << differ.count() << " differ: " << differ.Text() << "\n";
  }
}

}  // namespace

int InspectBytes(std::span<const uint8_t> file, std::ostream& out) {
  if (file.size() >= kHeaderSize) {
    const UpdateHeader header = ParseHeader(file.first<kHeaderSize>());
    PrintHeader(header, out);
    PrintBlocks(file, header, out);
  } else {
    out << "header: cut short (" << kHeaderSize << " bytes needed)\n";
  }
  const FileStageResult result = CheckAndAssemble(file);
  out << "verdict: " << (result.failure != nullptr ? result.failure : "OK") << "\n";
  return result.failure != nullptr ? kExitFailed : kExitOk;
}

int Inspect(const std::string& path, std::ostream& out) {
  FileBytes file;
  uint64_t length = 0;
  const ReadStatus read = ReadWholeFile(path, file, length);
  if (read != ReadStatus::kOk) {
    out << "verdict: " << ReadFailureText(read) << "\n";
    return kExitFailed;
  }
  out << "file: " << path << " (" << file.length << " bytes)\n";
  return InspectBytes({file.data.get(), file.length}, out);
}

}  // namespace tamblet::pgm
