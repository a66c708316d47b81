#pragma once
// How the MIDI ports of a JACK server are presented as capability records.
// A client whose name is the device's (base/device_identity.h) gets the
// device's records, numbered per client; every other port keeps its own name.

#include <span>
#include <string>
#include <vector>

#include "midi/midi_layer.h"

namespace tamblet::midi {

struct JackPortInfo {
  std::string client;     // client name
  std::string port;       // short port name
  bool receives = false;  // a JACK input port: one we write to
};

struct JackEndpoint {
  std::string jack_name;  // "client:port", what the backend connects to
  MidiCaps caps;
};

struct JackEndpoints {
  std::vector<JackEndpoint> outputs;  // ports we write to, in the order given
  std::vector<JackEndpoint> inputs;   // ports we read from, in the order given
};

JackEndpoints NameJackPorts(std::span<const JackPortInfo> ports);

}  // namespace tamblet::midi
