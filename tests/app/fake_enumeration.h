#pragma once
// A MIDI layer that only enumerates: a list of records per direction, each with
// the result its query returns, and a log of which indices were queried.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "midi/midi_layer.h"

namespace tamblet::test {

struct FakePort {
  midi::MidiCaps caps;
  midi::MMRESULT query_result = midi::MMSYSERR_NOERROR;
};

inline midi::MidiCaps Caps(uint16_t mid, uint16_t pid, const std::string& name) {
  midi::MidiCaps caps;
  caps.wMid = mid;
  caps.wPid = pid;
  std::memcpy(caps.szPname, name.data(), std::min(name.size(), sizeof caps.szPname));
  return caps;
}

class FakeEnumeration : public midi::MidiLayer {
 public:
  std::vector<FakePort> outputs;
  std::vector<FakePort> inputs;
  std::vector<uint32_t> queried_outputs;
  std::vector<uint32_t> queried_inputs;
  int input_counts = 0;

  uint32_t OutGetNumDevs() override { return static_cast<uint32_t>(outputs.size()); }
  midi::MMRESULT OutGetDevCaps(uint32_t index, midi::MidiCaps* caps) override {
    queried_outputs.push_back(index);
    return Fill(outputs, index, caps);
  }
  uint32_t InGetNumDevs() override {
    ++input_counts;
    return static_cast<uint32_t>(inputs.size());
  }
  midi::MMRESULT InGetDevCaps(uint32_t index, midi::MidiCaps* caps) override {
    queried_inputs.push_back(index);
    return Fill(inputs, index, caps);
  }

  midi::MMRESULT OutOpen(midi::PortHandle*, uint32_t, midi::MidiCallback, uintptr_t) override {
    return midi::MMSYSERR_NODRIVER;
  }
  midi::MMRESULT OutPrepareHeader(midi::PortHandle, midi::MIDIHDR*) override { return Bad(); }
  midi::MMRESULT OutUnprepareHeader(midi::PortHandle, midi::MIDIHDR*) override { return Bad(); }
  midi::MMRESULT OutLongMsg(midi::PortHandle, midi::MIDIHDR*) override { return Bad(); }
  midi::MMRESULT OutReset(midi::PortHandle) override { return Bad(); }
  midi::MMRESULT OutClose(midi::PortHandle) override { return Bad(); }
  midi::MMRESULT InOpen(midi::PortHandle*, uint32_t, midi::MidiCallback, uintptr_t) override {
    return midi::MMSYSERR_NODRIVER;
  }
  midi::MMRESULT InPrepareHeader(midi::PortHandle, midi::MIDIHDR*) override { return Bad(); }
  midi::MMRESULT InUnprepareHeader(midi::PortHandle, midi::MIDIHDR*) override { return Bad(); }
  midi::MMRESULT InAddBuffer(midi::PortHandle, midi::MIDIHDR*) override { return Bad(); }
  midi::MMRESULT InStart(midi::PortHandle) override { return Bad(); }
  midi::MMRESULT InStop(midi::PortHandle) override { return Bad(); }
  midi::MMRESULT InReset(midi::PortHandle) override { return Bad(); }
  midi::MMRESULT InClose(midi::PortHandle) override { return Bad(); }

 private:
  static midi::MMRESULT Bad() { return midi::MMSYSERR_INVALHANDLE; }
  static midi::MMRESULT Fill(const std::vector<FakePort>& ports, uint32_t index,
                             midi::MidiCaps* caps) {
    if (index >= ports.size()) return midi::MMSYSERR_BADDEVICEID;
    const FakePort& port = ports[index];
    // A failing query leaves garbage behind, as a driver might.
    *caps = port.caps;
    return port.query_result;
  }
};

}  // namespace tamblet::test
