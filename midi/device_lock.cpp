#include "midi/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tamblet::midi {
namespace {

constexpr size_t kLongestName = 200;  // well below the 255 bytes a file name may have

// A folder of ours alone: made if missing, and refused if it is a link, not a
// folder, or someone else's.
bool OwnFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid();
}

}  // namespace

std::string DeviceLockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string path = runtime != nullptr && runtime[0] == '/'
                         ? std::string(runtime) + "/tamblet"
                         : "/tmp/tamblet-" + std::to_string(geteuid());
  return OwnFolder(path) ? path : std::string();
}

std::string DeviceLockFileName(std::string_view port) {
  std::string name;
  for (const char c : port) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || c == '.' || c == '_' || c == '-') {
      name += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      name += hex;
    }
  }
  if (name.size() <= kLongestName) return name;
  uint64_t hash = 0xcbf29ce484222325;  // FNV-1a
  for (const char c : port) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
  char tail[20];
  std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, kLongestName - 17) + tail;
}

DeviceLock::~DeviceLock() { Release(); }

DeviceLock::DeviceLock(DeviceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

DeviceLock& DeviceLock::operator=(DeviceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

bool DeviceLock::Take(std::string_view port) {
  Release();
  const std::string folder = DeviceLockFolder();
  if (folder.empty()) return true;
  const std::string path = folder + "/" + DeviceLockFileName(port);
  // The holder removes the file when it lets go, so that files do not pile up.
  // An open that raced with that removal holds a file no longer under the
  // name, and tries again with the name's current file.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return true;
    // Each open of the file is its own lock: a second Take in this program
    // conflicts as one in another program does.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool held_elsewhere = errno == EWOULDBLOCK;
      close(fd);
      return !held_elsewhere;
    }
    struct stat held {
    }, named{};
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      fd_ = fd;
      path_ = path;
      return true;
    }
    close(fd);
  }
  return true;
}

void DeviceLock::Release() {
  if (fd_ < 0) return;
  unlink(path_.c_str());  // while still held: see Take
  close(fd_);
  fd_ = -1;
  path_.clear();
}

}  // namespace tamblet::midi
