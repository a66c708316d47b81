#pragma once
// The commands of tamblet-pgm. Each takes what its command line gave, writes
// its report to `out` and its complaints to `err`, and returns the exit status.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tamblet::pgm {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the file would not pass, or a file could not be used
inline constexpr int kExitUsage = 2;

// Writes a whole file; a failure is reported on `err`. Files are read with
// Load's own reader, so that the tool and Load judge a path alike.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::ostream& err);

// The report and verdict of inspect for a file's bytes.
int InspectBytes(std::span<const uint8_t> file, std::ostream& out);

int Inspect(const std::string& path, std::ostream& out);

// The options of write, as given; Write checks and converts them.
struct WriteWords {
  std::string out_path;
  std::optional<std::string> model, version, image_path, target, chunk, image_size, seed, blocks;
  std::vector<std::string> regions;
  bool force = false;
};
int Write(const WriteWords& words, std::ostream& out, std::ostream& err);

}  // namespace tamblet::pgm
