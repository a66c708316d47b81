#include "update/update_sequence.h"

#include <cstdio>

namespace tamblet {
namespace {

uint32_t PieceLength(uint32_t remaining, uint32_t chunk_size) {
  return remaining <= chunk_size ? remaining : chunk_size;
}

class Stage {
 public:
  Stage(const UpdateHeader& header, const UpdateImage& image, UpdateTarget& target,
        LoadDisplay& display, WaitPolicy& waits)
      : header_(header), image_(image), target_(target), display_(display), waits_(waits) {}

  // The text to end at: the failing step's, or "Complete!". step() is then
  // the step it ended in.
  const char* Run(std::optional<uint32_t> out_index, std::optional<uint32_t> in_index) {
    display_.ChangeBar(BarChange::Range(kOpenWaitSteps));
    display_.ChangeBar(BarChange::Position(0));
    Enter(LoadStep::kOpenPorts);
    display_.SetStatusText(kDeviceOpenText);
    // A port index that discovery never recorded is never opened.
    if (!out_index || !in_index || !target_.Open(*out_index, *in_index))
      return kDeviceOpenFailedText;
    // The device needs time after the ports open before it answers.
    for (uint32_t k = 0; k < kOpenWaitSteps; ++k) {
      display_.ChangeBar(BarChange::Position(k + 1));
      waits_.Sleep(kOpenWaitStepMs);
    }

    char reported[16] = {};
    Enter(LoadStep::kGetModelName);
    if (target_.GetModelName(reported) != 0) return kGetModelNameFailedText;
    Enter(LoadStep::kCompareModelName);
    if (!ModelNamesMatch(reported, header_.model_name)) return kCompareModelNameErrorText;
    Enter(LoadStep::kSelectDevice);
    if (target_.SelectDevice(header_.target_select) != 0) return kSelectDeviceFailedText;

    Enter(LoadStep::kCopy);
    display_.SetStatusText(kCopyingText);
    if (target_.RunOperation(kOpCopy, 0, header_.image_size, header_.chunk_size) != 0)
      return kCopyFailedText;

    Enter(LoadStep::kLoad);
    for (size_t r = 0; r < 2; ++r)
      if (!LoadRegion(r)) return kLoadFailedText;

    Enter(LoadStep::kUninstall);
    display_.SetStatusText(kUninstallingText);
    for (const Region& region : header_.regions)
      if (region.size != 0 &&
          target_.RunOperation(kOpUninstall, region.address, region.size, header_.chunk_size) != 0)
        return kUninstallFailedText;

    Enter(LoadStep::kInstall);
    display_.SetStatusText(kInstallingText);
    for (const Region& region : header_.regions)
      if (region.size != 0 &&
          target_.RunOperation(kOpInstall, region.address, region.size, header_.chunk_size) != 0)
        return kInstallFailedText;

    Enter(LoadStep::kVerify);
    display_.SetStatusText(kVerifyingText);
    for (size_t r = 0; r < 2; ++r)
      if (header_.regions[r].size != 0 && !VerifyRegion(r)) return kVerifyErrorText;

    Enter(LoadStep::kModeOff);
    if (target_.ModeOff() != 0) return kModeOffErrorText;
    Enter(LoadStep::kComplete);
    return kCompleteText;
  }

  LoadStep step() const { return step_; }

 private:
  void Enter(LoadStep step) {
    step_ = step;
    display_.SetStep(step);
  }

  // The region's bytes are image bytes from its address on.
  bool LoadRegion(size_t r) {
    const Region& region = header_.regions[r];
    const uint8_t* bytes = image_.regions[r].get();
    uint32_t address = region.address;
    uint32_t remaining = region.size;
    while (remaining != 0) {
      const uint32_t n = PieceLength(remaining, header_.chunk_size);
      char text[32];
      FormatLoadingText(text, region.size, remaining);
      display_.SetStatusText(text);
      if (target_.WriteChunk(address, bytes, n) != 0) return false;
      bytes += n;
      address += n;
      remaining -= n;
    }
    return true;
  }

  bool VerifyRegion(size_t r) {
    const Region& region = header_.regions[r];
    const uint8_t* bytes = image_.regions[r].get();
    const uint32_t pieces = (region.size - 1) / header_.chunk_size + 1;
    display_.ChangeBar(BarChange::Range(pieces));
    display_.ChangeBar(BarChange::Position(0));
    uint32_t address = region.address;
    uint32_t remaining = region.size;
    while (remaining != 0) {
      const uint32_t n = PieceLength(remaining, header_.chunk_size);
      if (target_.VerifySum(address, n, Sum16(bytes, n)) != 0) return false;
      bytes += n;
      address += n;
      remaining -= n;
      display_.ChangeBar(BarChange::Advance(n));
    }
    return true;
  }

  const UpdateHeader& header_;
  const UpdateImage& image_;
  UpdateTarget& target_;
  LoadDisplay& display_;
  WaitPolicy& waits_;
  LoadStep step_ = LoadStep::kOpenPorts;
};

}  // namespace

bool ModelNamesMatch(const char (&reported)[16], const char (&expected)[16]) {
  for (int i = 0; i < 16; ++i) {
    if (reported[i] != expected[i]) return false;
    if (reported[i] == '\0') return true;
  }
  return false;
}

void FormatLoadingText(char (&text)[32], uint32_t region_size, uint32_t remaining) {
  // In 64 bits: (size - remaining) * 100 wraps in 32 bits for regions over ~42 MB.
  const uint64_t percent = uint64_t{region_size - remaining} * 100 / region_size;
  std::snprintf(text, sizeof text, "Loading.... (%3u%%)", static_cast<unsigned>(percent));
}

uint16_t Sum16(const uint8_t* data, uint32_t n) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<uint16_t>(sum);
}

LoadOutcome RunDeviceStage(const UpdateHeader& header, const UpdateImage& image,
                           std::optional<uint32_t> out_index, std::optional<uint32_t> in_index,
                           UpdateTarget& target, LoadDisplay& display, WaitPolicy& waits) {
  Stage stage(header, image, target, display, waits);
  const char* text = stage.Run(out_index, in_index);
  display.SetStatusText(text);
  return {stage.step(), text};
}

}  // namespace tamblet
