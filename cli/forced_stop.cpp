#include "cli/forced_stop.h"

#include <algorithm>

#include "app/port_discovery.h"

namespace tamblet::cli {

StopSwitch::Press StopSwitch::Interrupt(std::chrono::steady_clock::time_point now) {
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  const int64_t last = last_press_ns_.exchange(ns);
  const bool within =
      last != INT64_MIN && ns - last <= std::chrono::nanoseconds(kForceWindow).count();
  if (within || forced()) {
    forced_.store(true, std::memory_order_release);
    return Press::kForced;
  }
  return Press::kWarned;
}

bool StoppableWaits::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                             uint32_t ms, const std::function<bool()>& ready) {
  uint32_t left = ms;
  while (!stop_.forced()) {
    const uint32_t slice = std::min(left, kSliceMs);
    if (inner_.WaitFor(cv, lock, slice, ready)) return true;
    left -= slice;
    if (left == 0) return false;
  }
  return ready();
}

void StoppableWaits::Sleep(uint32_t ms) {
  for (uint32_t left = ms; left != 0 && !stop_.forced();) {
    const uint32_t slice = std::min(left, kSliceMs);
    inner_.Sleep(slice);
    left -= slice;
  }
}

std::optional<uint32_t> InstrumentLayer::Inner(uint32_t index, PortDirection direction) {
  if (!pair_) return index;
  const bool output = direction == PortDirection::kOutput;
  if (index != 0) return std::nullopt;
  const uint32_t listed = output ? pair_->out : pair_->in;
  const std::string& name = output ? pair_->out_name : pair_->in_name;
  auto name_at = [this, output](uint32_t i) {
    midi::MidiCaps caps;
    const midi::MMRESULT result =
        output ? inner_.OutGetDevCaps(i, &caps) : inner_.InGetDevCaps(i, &caps);
    return result == midi::MMSYSERR_NOERROR ? PortName(caps) : std::string();
  };
  if (name_at(listed) == name) return listed;
  const uint32_t count = output ? inner_.OutGetNumDevs() : inner_.InGetNumDevs();
  for (uint32_t i = 0; i < count; ++i)
    if (name_at(i) == name) return i;
  return std::nullopt;
}

uint32_t InstrumentLayer::OutGetNumDevs() { return pair_ ? 1 : inner_.OutGetNumDevs(); }
uint32_t InstrumentLayer::InGetNumDevs() { return pair_ ? 1 : inner_.InGetNumDevs(); }

midi::MMRESULT InstrumentLayer::OutGetDevCaps(uint32_t index, midi::MidiCaps* caps) {
  const auto inner = Inner(index, PortDirection::kOutput);
  return inner ? inner_.OutGetDevCaps(*inner, caps) : midi::MMSYSERR_BADDEVICEID;
}

midi::MMRESULT InstrumentLayer::InGetDevCaps(uint32_t index, midi::MidiCaps* caps) {
  const auto inner = Inner(index, PortDirection::kInput);
  return inner ? inner_.InGetDevCaps(*inner, caps) : midi::MMSYSERR_BADDEVICEID;
}

midi::MMRESULT InstrumentLayer::OutOpen(midi::PortHandle* port, uint32_t index,
                                        midi::MidiCallback callback, uintptr_t instance) {
  const auto inner = Inner(index, PortDirection::kOutput);
  if (!inner) return midi::MMSYSERR_BADDEVICEID;
  if (stop_.forced()) return midi::MMSYSERR_ERROR;
  return inner_.OutOpen(port, *inner, callback, instance);
}

midi::MMRESULT InstrumentLayer::InOpen(midi::PortHandle* port, uint32_t index,
                                       midi::MidiCallback callback, uintptr_t instance) {
  const auto inner = Inner(index, PortDirection::kInput);
  if (!inner) return midi::MMSYSERR_BADDEVICEID;
  if (stop_.forced()) return midi::MMSYSERR_ERROR;
  return inner_.InOpen(port, *inner, callback, instance);
}

std::optional<midi::PortHolder> InstrumentLayer::OutGetHolder(uint32_t index) {
  const auto inner = Inner(index, PortDirection::kOutput);
  return inner ? inner_.OutGetHolder(*inner) : std::nullopt;
}

std::optional<midi::PortHolder> InstrumentLayer::InGetHolder(uint32_t index) {
  const auto inner = Inner(index, PortDirection::kInput);
  return inner ? inner_.InGetHolder(*inner) : std::nullopt;
}

midi::MMRESULT InstrumentLayer::OutLongMsg(midi::PortHandle port, midi::MIDIHDR* header) {
  // Refused, so no MOM_DONE comes and the port pair gives the request up at once.
  if (stop_.forced()) return midi::MMSYSERR_ERROR;
  return inner_.OutLongMsg(port, header);
}

}  // namespace tamblet::cli
