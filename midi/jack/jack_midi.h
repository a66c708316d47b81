#pragma once
// The MIDI layer over a running JACK server. It never starts a server: with
// none running it simply has no ports. Each other client's MIDI input port is
// an output device, each MIDI output port an input device (see
// jack_port_names.h for their names and ids). The lists are taken at the first
// question and kept, so an index always names the port it named then. No call
// waits on the server for more than a few seconds: one that stops answering is
// given up for good.

#include <memory>
#include <string>

#include "midi/midi_layer.h"
#include "midi/port_watch.h"

namespace tamblet::midi {

struct JackMidiOptions {
  std::string server_name;              // empty: JACK_DEFAULT_SERVER, else "default"
  std::string client_name = "Tamblet";  // our own client, renamed by JACK if taken
};

std::unique_ptr<MidiLayer> CreateJackMidiLayer();
std::unique_ptr<MidiLayer> CreateJackMidiLayer(const JackMidiOptions& options);

// JACK's ports as they come and go: a client of our own that registers no port
// and hears the server register and unregister other clients' ports. Opened
// at the first question, and again after its server went away, so a server
// started later is followed too.
std::unique_ptr<PortWatch> CreateJackPortWatch(const JackMidiOptions& options = {});

// Whether a server answers, asked as a layer asks it: never starting one, and
// never waiting long on one that hangs.
bool JackServerRuns(const JackMidiOptions& options = {});

}  // namespace tamblet::midi
