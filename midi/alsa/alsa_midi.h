#pragma once
// The ALSA backend: every rawmidi port of every card, opened exclusively,
// written whole and drained, read with poll; a port that another program
// holds is opened through the card's sequencer client instead.

#include <memory>

#include "midi/midi_layer.h"

namespace tamblet::midi {

// Enumerates the ports once, now; the list does not change afterwards.
std::unique_ptr<MidiLayer> CreateAlsaMidiLayer();

// The same, of one card's ports only (a card that was just plugged in).
std::unique_ptr<MidiLayer> CreateAlsaCardMidiLayer(int card);

}  // namespace tamblet::midi
