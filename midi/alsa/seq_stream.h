#pragma once
// A rawmidi port reached through the ALSA sequencer, for when another program
// holds the raw port: the kernel's sequencer client of the same card shares
// the port among its subscribers. Each direction is its own sequencer client.

#include <memory>

#include "midi/alsa/rawmidi_ports.h"
#include "midi/midi_layer.h"
#include "midi/stream/byte_stream.h"

namespace tamblet::midi::alsa {

// MMSYSERR_NOERROR when the card's sequencer port for `address` is subscribed.
// The port is shared: the raw port is busy only because some other program
// is subscribed to it already, and it may go on sending to the device. Each
// request leaves whole or not at all; bytes another program slips into a frame
// break it, and the step that sent it fails.
MMRESULT OpenSequencerOutput(const RawmidiAddress& address,
                             std::unique_ptr<stream::ByteStream>* stream);
MMRESULT OpenSequencerInput(const RawmidiAddress& address,
                            std::unique_ptr<stream::ByteStream>* stream);

}  // namespace tamblet::midi::alsa
