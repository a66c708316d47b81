#pragma once
// Finding the device's port pair: a pure rule that judges one capability
// record, the search through the MIDI layer's enumeration, and the discovery
// the dialog runs once while it opens.

#include <cstdint>
#include <optional>
#include <string>

#include "app/window_layer.h"
#include "base/device_identity.h"
#include "base/status_texts.h"
#include "midi/midi_layer.h"

namespace tamblet {

inline constexpr uint32_t kInitialProgressMax = 35;

// True when the record is the device's port of that direction. Reads at most
// the 32 bytes of the name, whether or not they hold a NUL.
bool AcceptPort(const midi::MidiCaps& caps, PortDirection direction);

// The name as shown: up to the first NUL, at most 32 bytes.
std::string PortName(const midi::MidiCaps& caps);

struct FoundPort {
  uint32_t index = 0;
  std::string name;
};

// The first accepted port of that direction, by increasing index; later ports
// are not queried. A record whose query fails is never accepted.
std::optional<FoundPort> FindPort(midi::MidiLayer& midi, PortDirection direction);

struct DiscoveryResult {
  std::optional<uint32_t> output_index;
  std::optional<uint32_t> input_index;
  bool found() const { return output_index && input_index; }
};

// The dialog's opening steps: progress 0 of 0..35, output search, input search
// (only after an output was found), names into the port fields; when either is
// missing, one message box and the same text in the status line.
DiscoveryResult DiscoverPortPair(midi::MidiLayer& midi, WindowLayer& window);

}  // namespace tamblet
