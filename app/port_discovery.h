#pragma once
// The discovery the dialog runs once while it opens: the instruments library
// says which pair the window takes; this shows it, or says that none is there.
// The terminal program shows the same steps on its console.

#include <cstdint>
#include <string>

#include "app/window_layer.h"
#include "base/display.h"
#include "base/status_texts.h"
#include "instruments/instrument_ports.h"
#include "instruments/port_rule.h"
#include "midi/midi_layer.h"
#include "update/update_run.h"

namespace tamblet {

inline constexpr uint32_t kInitialProgressMax = 35;

// Where discovery shows what it finds: the window's controls, or a console.
class DiscoveryView {
 public:
  virtual ~DiscoveryView() = default;
  virtual void ShowBar(const BarChange& change) = 0;
  virtual void ShowPort(PortDirection direction, const std::string& name) = 0;
  // What the window shows in a message box.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void ShowStatus(const char* text) = 0;
};

// The pair a choice names: both indices and names, or what there is of them.
PortPair PairOf(const WindowChoice& choice);

// The opening steps: progress 0 of 0..35, output search, input search (only
// after an output was found), names into the port fields; when either is
// missing, one message and the same text in the status line.
PortPair DiscoverPortPair(midi::MidiLayer& midi, DiscoveryView& view);
// The same, shown in the window's controls and a message box.
PortPair DiscoverPortPair(midi::MidiLayer& midi, WindowLayer& window);

}  // namespace tamblet
