#pragma once
// How far a whole update is, where the window's bar only shows the current
// step: the step (k of n), told by the steps Load enters, and the share of the
// region bytes loaded and verified, told by the bar within those two steps.

#include <cstdint>
#include <vector>

#include "base/display.h"
#include "base/load_outcome.h"
#include "update/update_file.h"

namespace tamblet::cli {

class OverallProgress {
 public:
  // File reading, device open, copying, loading, uninstalling, installing, verifying.
  static constexpr int kSteps = 7;

  // Without a header the bytes are unknown: the share stays 0 until Complete!.
  OverallProgress() = default;
  explicit OverallProgress(const UpdateHeader& header);

  void OnStep(LoadStep step);
  // Every progress message, with the bar as it stands after it.
  void OnProgress(uint32_t msg, const ProgressState& bar);

  int step() const { return step_; }  // 0 before the first
  int percent() const;

 private:
  std::vector<uint32_t> chunks_;   // loaded one WriteChunk each, in order
  std::vector<uint32_t> regions_;  // verified one after the other (non-empty ones)
  uint32_t chunk_size_ = 0;
  uint64_t total_ = 0;  // region bytes, loaded once and verified once
  int step_ = 0;
  bool complete_ = false;
  // The chunk or region under way (-1: none yet) and the bytes done before it.
  int part_ = -1;
  uint64_t before_ = 0;
  uint64_t loaded_ = 0;
  uint64_t verified_ = 0;
};

}  // namespace tamblet::cli
