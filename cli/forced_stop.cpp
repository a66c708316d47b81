#include "cli/forced_stop.h"

#include "instruments/port_rule.h"

namespace tamblet::cli {

StopSwitch::Press StopSwitch::Interrupt(std::chrono::steady_clock::time_point now) {
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  const int64_t last = last_press_ns_.exchange(ns);
  const bool within =
      last != INT64_MIN && ns - last <= std::chrono::nanoseconds(kForceWindow).count();
  if (within || token_.forced()) {
    token_.Force();
    return Press::kForced;
  }
  return Press::kWarned;
}

uint32_t InstrumentLayer::Count(PortDirection direction) {
  if (pair_) return 1;
  return direction == PortDirection::kOutput ? inner_.OutGetNumDevs() : inner_.InGetNumDevs();
}

std::optional<midi::ForwardingMidiLayer::Target> InstrumentLayer::Locate(PortDirection direction,
                                                                         uint32_t index) {
  if (!pair_) return Target{&inner_, index};
  if (index != 0) return std::nullopt;
  const bool output = direction == PortDirection::kOutput;
  const uint32_t listed = output ? pair_->out : pair_->in;
  const std::string& name = output ? pair_->out_name : pair_->in_name;
  auto name_at = [this, output](uint32_t i) {
    midi::MidiCaps caps;
    const midi::MMRESULT result =
        output ? inner_.OutGetDevCaps(i, &caps) : inner_.InGetDevCaps(i, &caps);
    return result == midi::MMSYSERR_NOERROR ? PortName(caps) : std::string();
  };
  if (name_at(listed) == name) return Target{&inner_, listed};
  const uint32_t count = output ? inner_.OutGetNumDevs() : inner_.InGetNumDevs();
  for (uint32_t i = 0; i < count; ++i)
    if (name_at(i) == name) return Target{&inner_, i};
  return std::nullopt;
}

}  // namespace tamblet::cli
