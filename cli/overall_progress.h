#pragma once
// How far a whole update is, where the window's bar only shows the current
// step: the step (k of n), told by the steps the run enters, and the share of
// the region bytes loaded and verified, told by the run's byte counts.

#include "base/load_outcome.h"
#include "update/update_run.h"

namespace tamblet::cli {

class OverallProgress {
 public:
  // File reading, device open, copying, loading, uninstalling, installing, verifying.
  static constexpr int kSteps = 7;

  void OnStep(LoadStep step);
  void OnProgress(const RunProgress& progress);

  int step() const { return step_; }  // 0 before the first
  int percent() const;

 private:
  int step_ = 0;
  bool complete_ = false;
  uint64_t done_ = 0;
  uint64_t total_ = 0;  // unknown (0) until the file is checked: the share stays 0
};

}  // namespace tamblet::cli
