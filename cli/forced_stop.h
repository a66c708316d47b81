#pragma once
// Ctrl-C during an update. The first press only warns: cutting a device step
// can leave the instrument unusable. A second press within 3 s forces the
// stop (see StopToken): each running update fails at its current step and
// closes its ports through its normal clean-up.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/device_identity.h"
#include "base/stop_token.h"
#include "midi/forwarding_midi_layer.h"

namespace tamblet::cli {

inline constexpr std::chrono::milliseconds kForceWindow{3000};

class StopSwitch {
 public:
  enum class Press { kWarned, kForced };
  explicit StopSwitch(StopToken& token) : token_(token) {}

  // One Ctrl-C at `now`; thread-safe. A forcing press forces the token.
  Press Interrupt(std::chrono::steady_clock::time_point now);

 private:
  StopToken& token_;
  std::atomic<int64_t> last_press_ns_{INT64_MIN};
};

// One instrument's view of the MIDI layer: only its output and input port (each
// as index 0) when a pair is given, else every port. Handles pass through
// unchanged. A port is found again by its name when the layer's list has
// shifted since it was listed (JACK lists the ports of clients that came
// later, ours included).
class InstrumentLayer final : public midi::ForwardingMidiLayer {
 public:
  struct Pair {
    uint32_t out;
    uint32_t in;
    std::string out_name;
    std::string in_name;
  };
  InstrumentLayer(midi::MidiLayer& inner, std::optional<Pair> pair)
      : inner_(inner), pair_(std::move(pair)) {}

 private:
  uint32_t Count(PortDirection direction) override;
  std::optional<Target> Locate(PortDirection direction, uint32_t index) override;
  midi::MidiLayer* Owner(PortDirection, midi::PortHandle) override { return &inner_; }

  midi::MidiLayer& inner_;
  const std::optional<Pair> pair_;
};

}  // namespace tamblet::cli
