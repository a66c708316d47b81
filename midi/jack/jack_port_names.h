#pragma once
// How the MIDI ports of a JACK server are presented as capability records.
// A client whose name begins "QELMAR " is taken for the device: its ports get
// the device's ids and names of the form "<client> OUT <n>" / "<client> IN <n>".
// Every other port keeps its own name and ids that never match.

#include <span>
#include <string>
#include <vector>

#include "midi/midi_layer.h"

namespace tamblet::midi {

inline constexpr uint16_t kDeviceMid = 37;
inline constexpr uint16_t kDeviceOutPid = 4;
inline constexpr uint16_t kDeviceInPid = 5;

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
