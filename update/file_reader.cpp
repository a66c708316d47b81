#include "update/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace tamblet {
namespace {

// Closes the file on every way out.
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

}  // namespace

ReadStatus ReadWholeFile(const std::string& path, FileBytes& out, uint64_t& length_out) {
  if (path.empty()) return ReadStatus::kNotFound;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return ReadStatus::kNotFound;

  // Non-blocking so that a FIFO cannot hang the open; only regular files are read.
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadStatus::kNotFound;
  const uint64_t length = static_cast<uint64_t>(info.st_size);
  length_out = length;

  // One extra byte so that an empty file still gets a buffer of its own.
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[length + 1]);
  if (!data) return ReadStatus::kNoMemory;

  // read() may return less than asked for large files; a count other than the
  // measured length in the end is the read error.
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(file.get(), data.get() + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReadStatus::kReadError;
    done += static_cast<uint64_t>(n);
  }
  out.data = std::move(data);
  out.length = length;
  return ReadStatus::kOk;
}

}  // namespace tamblet
