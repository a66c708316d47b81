#include "cli/overall_progress.h"

#include <algorithm>

#include "protocol/frame.h"

namespace tamblet::cli {
namespace {

constexpr int kLoadingStep = 4;
constexpr int kVerifyingStep = 7;

// The steps a user sees by their texts; the model check and the target go
// with the open, ModeOff and the end with Verify.
int StepOf(LoadStep step) {
  switch (step) {
    case LoadStep::kReadFile:
    case LoadStep::kCheckFile:
      return 1;
    case LoadStep::kOpenPorts:
    case LoadStep::kGetModelName:
    case LoadStep::kCompareModelName:
    case LoadStep::kSelectDevice:
      return 2;
    case LoadStep::kCopy:
      return 3;
    case LoadStep::kLoad:
      return kLoadingStep;
    case LoadStep::kUninstall:
      return 5;
    case LoadStep::kInstall:
      return 6;
    case LoadStep::kVerify:
    case LoadStep::kModeOff:
    case LoadStep::kComplete:
      return kVerifyingStep;
  }
  return 0;
}

}  // namespace

OverallProgress::OverallProgress(const UpdateHeader& header) : chunk_size_(header.chunk_size) {
  if (chunk_size_ == 0) return;  // the file check refuses it; nothing would load
  for (const Region& region : header.regions) {
    if (region.size == 0) continue;
    regions_.push_back(region.size);
    total_ += region.size;
    for (uint32_t left = region.size; left != 0; left -= std::min(left, chunk_size_))
      chunks_.push_back(std::min(left, chunk_size_));
  }
}

void OverallProgress::OnStep(LoadStep load_step) {
  if (load_step == LoadStep::kComplete) complete_ = true;
  const int step = StepOf(load_step);
  if (step == step_) return;
  step_ = step;
  part_ = -1;
  before_ = 0;
}

void OverallProgress::OnProgress(uint32_t msg, const ProgressState& bar) {
  const bool loading = step_ == kLoadingStep;
  if (!loading && step_ != kVerifyingStep) return;
  const std::vector<uint32_t>& parts = loading ? chunks_ : regions_;
  // Each chunk's load and each region's verify sets the bar's range anew.
  if (msg == PBM_SETRANGE) {
    if (part_ >= 0 && static_cast<size_t>(part_) < parts.size()) before_ += parts[part_];
    ++part_;
    return;  // the position is the last part's until the bar is set back
  }
  if (part_ < 0 || static_cast<size_t>(part_) >= parts.size()) return;
  // Loads count frames of WriteData, verifies chunks; the last of each may be short.
  const uint64_t unit = loading ? uint64_t{kMaxWriteDataBytes} : chunk_size_;
  const uint64_t done =
      before_ + std::min<uint64_t>(uint64_t(std::max(bar.position, 0)) * unit, parts[part_]);
  (loading ? loaded_ : verified_) = std::max(loading ? loaded_ : verified_, done);
}

int OverallProgress::percent() const {
  if (complete_) return 100;
  if (total_ == 0) return 0;
  return static_cast<int>((loaded_ + verified_) * 100 / (2 * total_));
}

}  // namespace tamblet::cli
