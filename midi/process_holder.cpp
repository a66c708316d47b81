#include "midi/process_holder.h"

#include <fstream>
#include <sstream>
#include <string>

namespace tamblet::midi {

std::optional<PortHolder> ProcessHolder(uint32_t pid) {
  if (pid == 0) return std::nullopt;
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  std::string name = text.str();
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return std::nullopt;
  return PortHolder{pid, name};
}

}  // namespace tamblet::midi
