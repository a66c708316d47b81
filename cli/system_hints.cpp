#include "cli/system_hints.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tamblet::cli {

std::string NoSoundCard(const std::string& proc_asound) {
  const std::string file = proc_asound + "/cards";
  std::ifstream cards_file(file);
  if (!cards_file) return "no ALSA sound card (" + file + ": " + std::strerror(errno) + ")";
  std::stringstream cards;
  cards << cards_file.rdbuf();
  if (cards.str().empty() || cards.str().find("no soundcards") != std::string::npos)
    return "no ALSA sound card (" + file + " lists none)";
  return "";
}

std::vector<std::string> WhyNoPorts(const std::string& proc_asound, const std::string& dev_snd,
                                    bool jack_server) {
  std::vector<std::string> why;
  if (std::string none = NoSoundCard(proc_asound); !none.empty()) {
    why.push_back(std::move(none));
  } else {
    std::error_code error;
    std::filesystem::directory_iterator entries(dev_snd, error);
    if (error) why.push_back(dev_snd + ": " + error.message());
    for (const auto& entry : entries) {
      const std::string name = entry.path().filename().string();
      if (!name.starts_with("midiC") && name != "seq") continue;
      if (::access(entry.path().c_str(), R_OK | W_OK) != 0)
        why.push_back(entry.path().string() + " is not readable by this user (" +
                      std::strerror(errno) + "; see the audio group)");
    }
  }
  if (!jack_server) why.push_back("no JACK server runs");
  return why;
}

std::string WhyUnreadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat info {};
  std::string why;
  if (::fstat(fd, &info) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(info.st_mode)) {
    why = std::strerror(EISDIR);
  } else if (!S_ISREG(info.st_mode)) {
    why = "not a regular file";
  }
  ::close(fd);
  return why;
}

}  // namespace tamblet::cli
