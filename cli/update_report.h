#pragma once
// The record of each finished update, one JSON line appended per update to a
// file opened with O_APPEND: each line is written whole with one write and
// flushed to disk, so a crash loses at most the updates still running. A line
// that does not fit is taken back, so the file holds whole records only. The
// report is a regular file, never reached through a symbolic link.

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "instruments/card_identity.h"

namespace tamblet::cli {

// What is recorded of the update file.
struct FileFacts {
  std::string name;  // as given on the command line
  uint64_t size = 0;
  std::string sha256;   // lowercase hex
  std::string version;  // the header's version text
};

// The facts of the file's bytes; `name` as given.
FileFacts DescribeFile(const std::string& name, std::span<const uint8_t> bytes);

std::string Sha256Hex(std::span<const uint8_t> bytes);

// "2026-12-07T11:40:03.250Z"
std::string UtcText(int64_t unix_ms);
int64_t UnixMsNow();

struct ReportRecord {
  CardIdentity identity;  // empty when the instrument is not an ALSA card
  std::string card;       // the card's name
  std::string output_port, input_port;
  int64_t start_ms = 0, end_ms = 0;  // since the epoch, UTC
  std::string final_text;
  int exit = 0;
};

// The line of one record, without its newline.
std::string ReportLine(const FileFacts& file, const ReportRecord& record);

inline constexpr char kReportNotAFile[] = "not a regular file";
inline constexpr char kReportIsALink[] = "a symbolic link; the report is not written through links";

class UpdateReport {
 public:
  UpdateReport() = default;
  ~UpdateReport();
  UpdateReport(const UpdateReport&) = delete;
  UpdateReport& operator=(const UpdateReport&) = delete;

  // Empty on success, else why not: the system's reason, or one of the texts below.
  std::string Open(const std::string& path);
  bool open() const { return fd_ >= 0; }
  // From any thread. Empty when the line was written whole; else the system's
  // reason, and the file is cut back to its length before.
  std::string Append(const FileFacts& file, const ReportRecord& record);

 private:
  int fd_ = -1;
  std::mutex mutex_;
};

}  // namespace tamblet::cli
