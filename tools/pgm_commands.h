#pragma once
// The commands of tamblet-pgm. Each takes the words after its name, writes its
// report to `out` and its complaints to `err`, and returns the exit status.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tamblet::pgm {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the file would not pass, or a file could not be used
inline constexpr int kExitUsage = 2;

// Whole-file reading and writing; a failure is reported on `err`. Reading tells
// a file that cannot be opened (*not_found) from one that cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::ostream& err,
                                                  bool* not_found = nullptr);
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::ostream& err);

int Inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int Write(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tamblet::pgm
