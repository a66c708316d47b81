#include "cli/update_report.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/safe_text.h"
#include "update/update_file.h"

namespace tamblet::cli {

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  sha256_ctx context;
  sha256_init(&context);
  // nettle takes sizes as size_t; one call covers any file that fits in memory.
  sha256_update(&context, bytes.size(), bytes.data());
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

FileFacts DescribeFile(const std::string& name, std::span<const uint8_t> bytes) {
  FileFacts facts{name, bytes.size(), Sha256Hex(bytes), ""};
  if (bytes.size() >= kHeaderSize) {
    const UpdateHeader header = ParseHeader(bytes.first<kHeaderSize>());
    facts.version.assign(header.version, strnlen(header.version, sizeof header.version));
  }
  return facts;
}

int64_t UnixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string UtcText(int64_t unix_ms) {
  const time_t seconds = static_cast<time_t>(unix_ms / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(unix_ms % 1000));
  return text;
}

std::string ReportLine(const FileFacts& file, const ReportRecord& record) {
  nlohmann::ordered_json line;
  line["instrument"] = ValidUtf8(record.identity.key());
  line["serial"] = ValidUtf8(record.identity.serial);
  line["usb_path"] = ValidUtf8(record.identity.usb_path());
  line["card"] = ValidUtf8(record.card);
  line["output_port"] = ValidUtf8(record.output_port);
  line["input_port"] = ValidUtf8(record.input_port);
  line["file"] = ValidUtf8(file.name);
  line["size"] = file.size;
  line["sha256"] = file.sha256;
  line["version"] = ValidUtf8(file.version);
  line["start"] = UtcText(record.start_ms);
  line["end"] = UtcText(record.end_ms);
  line["final"] = record.final_text;
  line["exit"] = record.exit;
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

UpdateReport::~UpdateReport() {
  if (fd_ >= 0) ::close(fd_);
}

std::string UpdateReport::Open(const std::string& path) {
  // Looked at first so that a device is never opened; what counts is the
  // descriptor's own kind below, since the name can change in between.
  struct stat seen {};
  if (::lstat(path.c_str(), &seen) == 0) {
    if (S_ISLNK(seen.st_mode)) return kReportIsALink;
    if (!S_ISREG(seen.st_mode)) return kReportNotAFile;
  }
  // O_NOFOLLOW: a link put in place meanwhile (in a shared folder, by someone
  // else) is refused rather than followed. O_NONBLOCK: a FIFO does not wait
  // for a reader here.
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    if (errno == ELOOP) return kReportIsALink;
    if (errno == ENXIO || errno == EISDIR) return kReportNotAFile;
    return std::strerror(errno);
  }
  struct stat opened {};
  std::string why;
  if (::fstat(fd, &opened) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(opened.st_mode)) {
    why = kReportNotAFile;
  }
  if (!why.empty()) {
    ::close(fd);
    return why;
  }
  ::fcntl(fd, F_SETFL, O_APPEND);
  fd_ = fd;
  return "";
}

std::string UpdateReport::Append(const FileFacts& file, const ReportRecord& record) {
  const std::string line = ReportLine(file, record) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return std::strerror(EBADF);
  const off_t before = ::lseek(fd_, 0, SEEK_END);
  // One write per record: with O_APPEND a line lands whole after the others,
  // also when another program appends to the same file. A full disk takes
  // part of it; the rest then fails with the reason.
  int error = 0;
  for (size_t done = 0; done < line.size() && error == 0;) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    if (n < 0 && errno != EINTR) error = errno;
    if (n == 0) error = EIO;
  }
  if (error == 0 && ::fdatasync(fd_) != 0 && errno != EINVAL) error = errno;
  if (error == 0) return "";
  // Whole records or none: the next one starts on a line of its own.
  [[maybe_unused]] const int cut = before >= 0 ? ::ftruncate(fd_, before) : -1;
  return std::strerror(error);
}

}  // namespace tamblet::cli
