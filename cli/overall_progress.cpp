#include "cli/overall_progress.h"

#include <algorithm>

#include "base/status_texts.h"
#include "protocol/frame.h"

namespace tamblet::cli {
namespace {

constexpr int kLoadingStep = 4;
constexpr int kVerifyingStep = 7;

int StepOf(std::string_view text) {
  if (text == kFileReadingText) return 1;
  if (text == kDeviceOpenText) return 2;
  if (text == kCopyingText) return 3;
  if (text.starts_with("Loading....")) return kLoadingStep;
  if (text == kUninstallingText) return 5;
  if (text == kInstallingText) return 6;
  if (text == kVerifyingText) return kVerifyingStep;
  return 0;  // a failure or the end: the step stays
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

void OverallProgress::OnStatus(std::string_view text) {
  if (text == kCompleteText) complete_ = true;
  const int step = StepOf(text);
  if (step == 0 || step == step_) return;
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
