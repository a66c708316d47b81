#include "cli/overall_progress.h"

namespace tamblet::cli {
namespace {

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
      return 4;
    case LoadStep::kUninstall:
      return 5;
    case LoadStep::kInstall:
      return 6;
    case LoadStep::kVerify:
    case LoadStep::kModeOff:
    case LoadStep::kComplete:
      return 7;
  }
  return 0;
}

}  // namespace

void OverallProgress::OnStep(LoadStep step) {
  if (step == LoadStep::kComplete) complete_ = true;
  step_ = StepOf(step);
}

void OverallProgress::OnProgress(const RunProgress& progress) {
  done_ = progress.bytes_done;
  total_ = progress.bytes_total;
}

int OverallProgress::percent() const {
  if (complete_) return 100;
  if (total_ == 0) return 0;
  return static_cast<int>(done_ * 100 / total_);
}

}  // namespace tamblet::cli
