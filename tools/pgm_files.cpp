#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>

#include "tools/pgm_commands.h"

namespace tamblet::pgm {

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
