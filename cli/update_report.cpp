#include "cli/update_report.h"

#include <fcntl.h>
#include <nettle/sha2.h>
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
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd_ >= 0 ? "" : std::strerror(errno);
}

bool UpdateReport::Append(const FileFacts& file, const ReportRecord& record) {
  const std::string line = ReportLine(file, record) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return false;
  // One write per record: with O_APPEND a line lands whole after the others,
  // also when another program appends to the same file.
  const ssize_t written = ::write(fd_, line.data(), line.size());
  ::fdatasync(fd_);
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace tamblet::cli
