#pragma once
// The MIDI layer the program uses on this machine: every ALSA rawmidi port,
// then the MIDI ports of a running JACK server, as one list per direction.

#include <memory>

#include "midi/midi_layer.h"
#include "midi/port_watch.h"

namespace tamblet::midi {

std::unique_ptr<MidiLayer> CreateSystemMidiLayer();

// What tells that JACK's ports changed; ALSA's cards are watched above this
// layer. Never a change in a build without JACK.
std::unique_ptr<PortWatch> CreateSystemPortWatch();

// Whether that layer looks for JACK ports and finds no server answering; never
// in a build without JACK, which offers none.
bool SystemJackServerMissing();

}  // namespace tamblet::midi
