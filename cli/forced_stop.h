#pragma once
// Ctrl-C during an update. The first press only warns: cutting a device step
// can leave the instrument unusable. A second press within 3 s forces the
// stop: no port opens and no request leaves any more, every wait ends at
// once, so each running update fails at its current step and closes its
// ports through its normal clean-up.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/device_identity.h"
#include "base/wait_policy.h"
#include "midi/forwarding_midi_layer.h"

namespace tamblet::cli {

inline constexpr std::chrono::milliseconds kForceWindow{3000};

class StopSwitch {
 public:
  enum class Press { kWarned, kForced };

  // One Ctrl-C at `now`; thread-safe.
  Press Interrupt(std::chrono::steady_clock::time_point now);
  // Forced at once: nothing runs that a stop could harm.
  void Force() { forced_.store(true, std::memory_order_release); }
  bool forced() const { return forced_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> forced_{false};
  std::atomic<int64_t> last_press_ns_{INT64_MIN};
};

// Waits that end at once when the stop is forced. Long waits are taken in
// slices so that a forced stop is seen within one slice.
class StoppableWaits final : public WaitPolicy {
 public:
  static constexpr uint32_t kSliceMs = 100;
  StoppableWaits(WaitPolicy& inner, const StopSwitch& stop) : inner_(inner), stop_(stop) {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override;
  void Sleep(uint32_t ms) override;

 private:
  WaitPolicy& inner_;
  const StopSwitch& stop_;
};

// One instrument's view of the MIDI layer: only its output and input port (each
// as index 0) when a pair is given, else every port; opens and sends are
// refused once the stop is forced. Handles pass through unchanged. A port is
// found again by its name when the layer's list has shifted since it was
// listed (JACK lists the ports of clients that came later, ours included).
class InstrumentLayer final : public midi::ForwardingMidiLayer {
 public:
  struct Pair {
    uint32_t out;
    uint32_t in;
    std::string out_name;
    std::string in_name;
  };
  InstrumentLayer(midi::MidiLayer& inner, std::optional<Pair> pair, const StopSwitch& stop)
      : inner_(inner), pair_(pair), stop_(stop) {}

  midi::MMRESULT OutOpen(midi::PortHandle* port, uint32_t index, midi::MidiCallback callback,
                         uintptr_t instance) override;
  midi::MMRESULT InOpen(midi::PortHandle* port, uint32_t index, midi::MidiCallback callback,
                        uintptr_t instance) override;
  midi::MMRESULT OutLongMsg(midi::PortHandle port, midi::MIDIHDR* header) override;

 private:
  uint32_t Count(PortDirection direction) override;
  std::optional<Target> Locate(PortDirection direction, uint32_t index) override;
  midi::MidiLayer* Owner(PortDirection, midi::PortHandle) override { return &inner_; }

  midi::MidiLayer& inner_;
  const std::optional<Pair> pair_;
  const StopSwitch& stop_;
};

}  // namespace tamblet::cli
