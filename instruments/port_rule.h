#pragma once
// Which ports are the device's: a pure rule that judges one capability record,
// and the port's name as every front end shows it.

#include <string>

#include "base/device_identity.h"
#include "midi/midi_layer.h"

namespace tamblet {

// True when the record is the device's port of that direction. Reads at most
// the 32 bytes of the name, whether or not they hold a NUL.
bool AcceptPort(const midi::MidiCaps& caps, PortDirection direction);

// The name as shown: up to the first NUL, at most 32 bytes.
std::string PortName(const midi::MidiCaps& caps);

}  // namespace tamblet
