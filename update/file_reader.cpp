#include "update/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "update/update_file.h"

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

// Non-blocking, so that a FIFO chosen by mistake cannot hang the open.
int OpenForReading(const std::string& path) {
  return path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// Reads until `size` bytes are in or the file ends; false on an error.
bool ReadFully(int fd, uint8_t* buffer, uint64_t size, uint64_t& done) {
  done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

ReadStatus ReadWholeFile(const std::string& path, FileBytes& out, uint64_t& length_out) {
  FileDescriptor file(OpenForReading(path));
  if (file.get() < 0) return ReadStatus::kNotFound;

  // Only regular files are read: a folder or a device is no update file.
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
  if (!ReadFully(file.get(), data.get(), length, done) || done != length)
    return ReadStatus::kReadError;
  out.data = std::move(data);
  out.length = length;
  return ReadStatus::kOk;
}

const char* ReadFailureText(ReadStatus status) {
  switch (status) {
    case ReadStatus::kOk:
      return nullptr;
    case ReadStatus::kNotFound:
      return kFileNotFoundText;
    case ReadStatus::kNoMemory:
      return kReadBufferMemoryText;
    case ReadStatus::kReadError:
      return kFileReadErrorText;
  }
  return kFileReadErrorText;
}

bool ReadFileStart(const std::string& path, std::span<uint8_t> out) {
  FileDescriptor file(OpenForReading(path));
  uint64_t done = 0;
  return file.get() >= 0 && ReadFully(file.get(), out.data(), out.size(), done) &&
         done == out.size();
}

}  // namespace tamblet
