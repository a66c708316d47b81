// The update report: only a regular file, never through a link, and whole
// records or none when the disk fills up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli/update_report.h"
#include "tests/support/update_files.h"

namespace tamblet::cli {
namespace {

namespace fs = std::filesystem;

const FileFacts kFacts{"fw.pgm", 3, std::string(64, 'a'), "1.02"};
const ReportRecord kRecord{{"SER-A", "usb 1-1"},
                           "QELMAR SIM",
                           "QELMAR SIM OUT 1",
                           "QELMAR SIM IN 1",
                           0,
                           0,
                           "Complete!",
                           0};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every line of the file is JSON; how many there are.
size_t JsonLines(const fs::path& path) {
  std::ifstream in(path);
  size_t count = 0;
  for (std::string line; std::getline(in, line); ++count)
    EXPECT_TRUE(nlohmann::json::accept(line)) << count << ": " << line;
  return count;
}

// One JSON line of exactly `bytes` bytes (at least 9), newline included.
std::string EarlierLine(size_t bytes) {
  return "{\"e\":\"" + std::string(bytes - 9, 'x') + "\"}\n";
}

// What the path is before Open, what Open says, and what must hold after:
// through a link, the file it names is left as it was, or not made.
TEST(UpdateReportFile, OnlyARegularFileAndNeverThroughALink) {
  const fs::path dir = test::TempPath("-reports");
  fs::create_directory(dir);
  const fs::path report = dir / "r.jsonl", target = dir / "target";
  const std::string earlier = EarlierLine(20);
  struct Case {
    const char* name;
    std::function<void()> make;
    fs::path path;
    std::string why;
    size_t lines_after;  // in `path` after one record; in `target` when refused
  } cases[] = {
      {"new", [] {}, report, "", 1},
      {"kept from before", [&] { std::ofstream(report) << earlier; }, report, "", 2},
      {"a folder", [&] { fs::create_directory(report); }, report, kReportNotAFile, 0},
      {"a FIFO, no reader", [&] { ASSERT_EQ(::mkfifo(report.c_str(), 0600), 0); }, report,
       kReportNotAFile, 0},
      {"a device", [] {}, "/dev/null", kReportNotAFile, 0},
      {"a link to a file",
       [&] {
         std::ofstream(target) << earlier;
         fs::create_symlink(target, report);
       },
       report, kReportIsALink, 1},
      {"a dangling link", [&] { fs::create_symlink(target, report); }, report, kReportIsALink, 0},
      {"no such folder", [] {}, dir / "none" / "r.jsonl", std::strerror(ENOENT), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(report);
    fs::remove_all(target);
    c.make();
    UpdateReport opened;
    ASSERT_EQ(opened.Open(c.path), c.why);
    EXPECT_EQ(opened.open(), c.why.empty());
    if (c.why.empty()) {
      EXPECT_EQ(opened.Append(kFacts, kRecord), "");
      EXPECT_EQ(JsonLines(c.path), c.lines_after);
    } else {
      EXPECT_EQ(fs::exists(target), c.lines_after > 0) << "made where a link points";
      EXPECT_EQ(Slurp(target), fs::exists(target) ? earlier : "");
    }
  }
}

// A tmpfs of two pages in a mount namespace of this test's own. Each record
// that does not fit leaves the file at its length before, says why, and the
// next one, once there is room, is a whole line of its own.
TEST(UpdateReportFile, AFullDiskLeavesWholeRecordsOnly) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
    GTEST_SKIP() << "no mount namespace of our own: " << std::strerror(errno);
  const fs::path dir = test::TempPath("-tmpfs");
  fs::create_directory(dir);
  ASSERT_EQ(::mount("tamblet-test", dir.c_str(), "tmpfs", 0, "size=8k"), 0) << std::strerror(errno);
  struct Unmount {
    const fs::path& dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{dir};
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const fs::path report = dir / "r.jsonl", filler = dir / "filler";
  // The report's earlier bytes, the filler's: part of a record fits in the
  // report's last page; no room at all; an empty report on a full disk.
  const std::pair<size_t, size_t> cases[] = {{page - 100, page}, {page, page}, {0, 2 * page}};
  for (const auto& [earlier, fill] : cases) {
    SCOPED_TRACE(std::to_string(earlier) + " + " + std::to_string(fill));
    fs::remove(report);
    std::ofstream(report) << (earlier ? EarlierLine(earlier) : "");
    std::ofstream(filler) << std::string(fill, '\0');
    ASSERT_EQ(fs::file_size(filler), fill) << "the tmpfs is larger than asked";
    UpdateReport opened;
    ASSERT_EQ(opened.Open(report), "");
    EXPECT_EQ(opened.Append(kFacts, kRecord), std::strerror(ENOSPC));
    EXPECT_EQ(fs::file_size(report), earlier);
    fs::remove(filler);
    EXPECT_EQ(opened.Append(kFacts, kRecord), "");
    EXPECT_EQ(JsonLines(report), earlier ? 2u : 1u);
  }
}

}  // namespace
}  // namespace tamblet::cli
