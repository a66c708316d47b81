#pragma once
// How a Load ended, for programs to decide by: the step it ended in, how far
// that is, and the text the status line was left with. A caller decides by the
// step, never by the text.

#include <string>

namespace tamblet {

// The steps of one Load, in the order they run.
enum class LoadStep {
  kReadFile,   // the file read whole
  kCheckFile,  // every block checked and the image assembled
  kOpenPorts,  // the port pair opened and the fixed wait
  kGetModelName,
  kCompareModelName,
  kSelectDevice,
  kCopy,
  kLoad,
  kUninstall,
  kInstall,
  kVerify,
  kModeOff,
  kComplete,  // every step succeeded
};

// How far a Load got: what decides a program's exit status.
enum class LoadStage {
  kFile,    // it ended in the file stage: the device was never opened
  kOpen,    // the port pair did not open
  kDevice,  // a device step failed after the ports opened
  kComplete,
};

constexpr LoadStage StageOf(LoadStep step) {
  switch (step) {
    case LoadStep::kReadFile:
    case LoadStep::kCheckFile:
      return LoadStage::kFile;
    case LoadStep::kOpenPorts:
      return LoadStage::kOpen;
    case LoadStep::kComplete:
      return LoadStage::kComplete;
    default:
      return LoadStage::kDevice;
  }
}

struct LoadOutcome {
  LoadStep step = LoadStep::kReadFile;  // where it failed, or kComplete
  std::string text;                     // the status text it ended at

  LoadStage stage() const { return StageOf(step); }
  bool complete() const { return step == LoadStep::kComplete; }
  bool operator==(const LoadOutcome&) const = default;
};

}  // namespace tamblet
