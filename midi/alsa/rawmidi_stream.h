#pragma once
// Rawmidi ports as byte streams: opened exclusively and non-blocking, so that a
// port held by another program fails at once instead of hanging.

#include <memory>
#include <string>

#include "midi/midi_layer.h"
#include "midi/stream/byte_stream.h"

namespace tamblet::midi::alsa {

// `device` is "hw:C,D,S". MMSYSERR_ALLOCATED when the port is held elsewhere.
MMRESULT OpenRawmidiOutput(const std::string& device, std::unique_ptr<stream::ByteStream>* stream);
MMRESULT OpenRawmidiInput(const std::string& device, std::unique_ptr<stream::ByteStream>* stream);

// How an open error of the sound library (a negative errno) is reported.
MMRESULT OpenErrorToResult(int error);

}  // namespace tamblet::midi::alsa
