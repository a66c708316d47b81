#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "tools/pgm_commands.h"

namespace tamblet::pgm {

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::ostream& err,
                                                  bool* not_found) {
  if (not_found != nullptr) *not_found = false;
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    err << "tamblet-pgm: " << path << " is a directory\n";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err << "tamblet-pgm: cannot open " << path << ": " << std::strerror(errno) << "\n";
    if (not_found != nullptr) *not_found = true;
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
  }
  if (in.bad()) {
    err << "tamblet-pgm: cannot read " << path << ": " << std::strerror(errno) << "\n";
    return std::nullopt;
  }
  return bytes;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::ostream& err) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
  if (out) out.close();
  if (!out) {
    err << "tamblet-pgm: cannot write " << path << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

}  // namespace tamblet::pgm
