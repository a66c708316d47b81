#include "app/version_preview.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tamblet {
namespace {

constexpr size_t kVersionOffset = 16;
constexpr size_t kVersionSize = 4;
constexpr char kPreviewPrefix[] = "Load Version ";

// Closes the descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads until `size` bytes are in or the file ends; -1 on an error.
ssize_t ReadFully(int fd, uint8_t* buffer, size_t size) {
  size_t total = 0;
  while (total < size) {
    const ssize_t n = ::read(fd, buffer + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(total);
}

}  // namespace

std::string FormatVersionPreview(std::span<const uint8_t, kPreviewSize> header) {
  const auto* version = reinterpret_cast<const char*>(header.data() + kVersionOffset);
  const void* nul = std::memchr(version, '\0', kVersionSize);
  const size_t length =
      nul ? static_cast<size_t>(static_cast<const char*>(nul) - version) : kVersionSize;
  return kPreviewPrefix + std::string(version, length);
}

std::optional<std::string> ReadVersionPreview(const std::string& path) {
  if (path.empty()) return std::nullopt;
  // Non-blocking, so that a named pipe chosen by mistake cannot hang the window.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return std::nullopt;
  uint8_t header[kPreviewSize] = {};
  if (ReadFully(file.get(), header, sizeof header) != static_cast<ssize_t>(kPreviewSize))
    return std::nullopt;
  return FormatVersionPreview(header);
}

std::string BrowseForUpdateFile(WindowLayer& window) {
  // Cancel gives "" and goes on like OK: the box and the path become empty.
  window.SetWindowText(IDC_FILE_NAME, window.RunFileOpenDialog());
  std::string path = window.GetWindowText(IDC_FILE_NAME);
  if (auto preview = ReadVersionPreview(path)) window.SetWindowText(IDC_STATUS, *preview);
  return path;
}

}  // namespace tamblet
