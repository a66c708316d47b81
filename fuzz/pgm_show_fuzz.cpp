// The companion tool's inspect on arbitrary bytes: the report must never read
// outside the input, and its verdict must be the file stage's.

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tools/pgm_commands.h"
#include "update/update_file.h"

namespace {

// Regions are really allocated; larger ones only slow the run down.
constexpr uint64_t kMaxRegionBytes = uint64_t{64} << 10;

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tamblet;
  const std::span<const uint8_t> file(data, size);
  if (size >= kHeaderSize) {
    const UpdateHeader header = ParseHeader(file.first<kHeaderSize>());
    if (uint64_t{header.regions[0].size} + header.regions[1].size > kMaxRegionBytes) return 0;
  }
  std::ostringstream out;
  const int exit_code = pgm::InspectBytes(file, out);
  const FileStageResult result = CheckAndAssemble(file);
  const std::string report = out.str();
  const std::string verdict =
      "verdict: " + std::string(result.failure != nullptr ? result.failure : "OK") + "\n";
  Require(report.size() >= verdict.size() &&
          report.compare(report.size() - verdict.size(), verdict.size(), verdict) == 0);
  Require(exit_code == (result.failure != nullptr ? pgm::kExitFailed : pgm::kExitOk));
  if (result.failure == nullptr) Require(report.find("checksums: all hold\n") != std::string::npos);
  return 0;
}
