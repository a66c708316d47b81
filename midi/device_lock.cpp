#include "midi/device_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "midi/process_holder.h"

namespace tamblet::midi {
namespace {

constexpr size_t kLongestName = 200;  // well below the 255 bytes a file name may have

// Per thread: each update of tamblet-cli --all opens its ports on a thread of its own.
thread_local std::string last_problem;
thread_local std::optional<PortHolder> last_holder;

struct OpenedFolder {
  int fd;
  std::string problem;  // when fd < 0
};

// Makes `name` under `parent` if missing, opens it without following a link,
// and checks what was opened, not what the name pointed to a moment before.
// `path` names it to people.
OpenedFolder OpenOwnFolder(int parent, const char* name, const std::string& path) {
  const bool made = mkdirat(parent, name, 0700) == 0;
  if (!made && errno != EEXIST) return {-1, path + " cannot be made: " + std::strerror(errno)};
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat named {};
    if (fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(named.st_mode))
      return {-1, path + " is a symbolic link, not a folder"};
    if (error == ENOTDIR) return {-1, path + " is not a folder"};
    return {-1, path + " cannot be opened: " + std::strerror(error)};
  }
  std::string problem;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    problem = path + " cannot be examined: " + std::strerror(errno);
  } else if (info.st_uid != geteuid()) {
    problem = path + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  } else if (made && fchmod(fd, 0700) != 0) {  // undoes an unusual umask on a folder just made
    problem = path + " cannot be given mode 0700: " + std::strerror(errno);
  } else if (!made && (info.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    problem = path + " has mode " + mode + ", not 0700";
  }
  if (problem.empty()) return {fd, {}};
  close(fd);
  return {-1, problem};
}

// The runtime folder, when it is a folder of this user's; -1 otherwise. A link
// to it is fine: what counts is the folder opened.
int OpenRuntimeFolder(const char* runtime_dir) {
  if (runtime_dir == nullptr || runtime_dir[0] != '/') return -1;
  const int fd = open(runtime_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) == 0 && info.st_uid == geteuid()) return fd;
  close(fd);
  return -1;
}

template <typename T>
bool ParseField(std::string_view text, T& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

// Whether process `pid` has the file `info` describes open.
bool HasOpen(uint32_t pid, const struct stat& info) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(folder.c_str());
  if (fds == nullptr) return false;
  bool found = false;
  for (const dirent* entry; !found && (entry = readdir(fds)) != nullptr;) {
    struct stat seen {};
    found = entry->d_name[0] != '.' && stat((folder + "/" + entry->d_name).c_str(), &seen) == 0 &&
            seen.st_dev == info.st_dev && seen.st_ino == info.st_ino;
  }
  closedir(fds);
  return found;
}

// The holder of the flock on the open file `fd`, asked right after it refused us.
std::optional<PortHolder> FindFlockHolder(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::nullopt;
  std::ifstream file("/proc/locks");
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (const auto pid =
          FlockHolderPid(text.str(), major(info.st_dev), minor(info.st_dev), info.st_ino))
    return ProcessHolder(*pid);
  // On an overlay (a container, a live system) the kernel's list names the
  // layer's file, not the one we stat: ask each holder whether it has ours open.
  for (const FlockLine& line : FlockLines(text.str()))
    if (HasOpen(line.pid, info)) return ProcessHolder(line.pid);
  return std::nullopt;
}

}  // namespace

std::vector<FlockLine> FlockLines(std::string_view proc_locks) {
  // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"; a waiter's line has
  // "->" after the number, and a holder in a namespace we cannot see, pid 0 or -1.
  std::vector<FlockLine> lines;
  while (!proc_locks.empty()) {
    const size_t end = proc_locks.find('\n');
    std::istringstream line(std::string(proc_locks.substr(0, end)));
    proc_locks = end == std::string_view::npos ? std::string_view() : proc_locks.substr(end + 1);
    std::string number, type, mode, access, pid_text, file;
    if (!(line >> number >> type >> mode >> access >> pid_text >> file) || type != "FLOCK")
      continue;
    const size_t first = file.find(':'), second = file.find(':', first + 1);
    if (second == std::string::npos) continue;
    FlockLine entry;
    if (ParseField(pid_text, entry.pid) && entry.pid != 0 &&
        ParseField(std::string_view(file).substr(0, first), entry.major, 16) &&
        ParseField(std::string_view(file).substr(first + 1, second - first - 1), entry.minor, 16) &&
        ParseField(std::string_view(file).substr(second + 1), entry.inode))
      lines.push_back(entry);
  }
  return lines;
}

std::optional<uint32_t> FlockHolderPid(std::string_view proc_locks, uint32_t major_number,
                                       uint32_t minor_number, uint64_t inode) {
  for (const FlockLine& line : FlockLines(proc_locks))
    if (line.major == major_number && line.minor == minor_number && line.inode == inode)
      return line.pid;
  return std::nullopt;
}

LockFolder LockFolder::OpenDefault() {
  return Open(std::getenv("XDG_RUNTIME_DIR"), "/tmp/tamblet-" + std::to_string(geteuid()));
}

LockFolder LockFolder::Open(const char* runtime_dir, const std::string& fallback) {
  LockFolder folder;
  OpenedFolder opened;
  if (const int runtime = OpenRuntimeFolder(runtime_dir); runtime >= 0) {
    // A folder of ours that is not as it should be is not replaced by the
    // fallback: something is wrong, and the user is told.
    folder.path_ = std::string(runtime_dir) + "/tamblet";
    opened = OpenOwnFolder(runtime, "tamblet", folder.path_);
    close(runtime);
  } else {
    folder.path_ = fallback;
    opened = OpenOwnFolder(AT_FDCWD, fallback.c_str(), folder.path_);
  }
  folder.fd_ = opened.fd;
  folder.problem_ = std::move(opened.problem);
  return folder;
}

LockFolder::~LockFolder() {
  if (fd_ >= 0) close(fd_);
}

LockFolder::LockFolder(LockFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      problem_(std::move(other.problem_)) {}

LockFolder& LockFolder::operator=(LockFolder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    problem_ = std::move(other.problem_);
  }
  return *this;
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

std::string DeviceLockProblem() { return last_problem; }
std::optional<PortHolder> DeviceLockHolder() { return last_holder; }

DeviceLock::~DeviceLock() { Release(); }

DeviceLock::DeviceLock(DeviceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      folder_(std::move(other.folder_)),
      name_(std::move(other.name_)) {}

DeviceLock& DeviceLock::operator=(DeviceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    folder_ = std::move(other.folder_);
    name_ = std::move(other.name_);
  }
  return *this;
}

DeviceLock::Result DeviceLock::Take(std::string_view port) {
  return Take(LockFolder::OpenDefault(), port);
}

DeviceLock::Result DeviceLock::Take(LockFolder folder, std::string_view port) {
  Release();
  last_problem.clear();
  last_holder.reset();
  if (!folder.trusted()) {
    last_problem = folder.problem();
    return Result::kNoLock;
  }
  const std::string name = DeviceLockFileName(port);
  const auto fail = [&](const std::string& what) {
    last_problem = folder.path() + "/" + name + " " + what;
    return Result::kNoLock;
  };
  // The holder removes the file when it lets go, so that files do not pile up.
  // An open that raced with that removal holds a file no longer under the
  // name, and tries again with the name's current file.
  for (int attempt = 0; attempt < 8; ++attempt) {
    // Read-only and never truncated: the file is only ever locked, not written.
    const int fd =
        openat(folder.fd(), name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return fail(std::string("cannot be opened: ") + std::strerror(errno));
    // Each open of the file is its own lock: a second Take in this program
    // conflicts as one in another program does.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) last_holder = FindFlockHolder(fd);
      close(fd);
      if (error == EWOULDBLOCK) return Result::kHeld;
      return fail(std::string("cannot be locked: ") + std::strerror(error));
    }
    struct stat held {
    }, named{};
    if (fstat(fd, &held) == 0 &&
        fstatat(folder.fd(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
      fd_ = fd;
      folder_ = std::move(folder);
      name_ = name;
      return Result::kTaken;
    }
    close(fd);
  }
  return fail("kept being replaced while it was being locked");
}

void DeviceLock::Release() {
  if (fd_ < 0) return;
  unlinkat(folder_.fd(), name_.c_str(), 0);  // while still held: see Take
  close(fd_);
  fd_ = -1;
  folder_ = LockFolder();
  name_.clear();
}

}  // namespace tamblet::midi
