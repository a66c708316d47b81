#pragma once
// The discovery the dialog runs once while it opens: the instruments library
// says which pair the window takes; this shows it, or says that none is there.

#include <cstdint>
#include <optional>

#include "app/window_layer.h"
#include "base/status_texts.h"
#include "instruments/instrument_ports.h"
#include "instruments/port_rule.h"
#include "midi/midi_layer.h"

namespace tamblet {

inline constexpr uint32_t kInitialProgressMax = 35;

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
