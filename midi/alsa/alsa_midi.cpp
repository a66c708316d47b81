#include "midi/alsa/alsa_midi.h"

#include "midi/alsa/rawmidi_ports.h"
#include "midi/alsa/rawmidi_stream.h"
#include "midi/alsa/stream_midi_layer.h"

namespace tamblet::midi {

std::unique_ptr<MidiLayer> CreateAlsaMidiLayer() {
  alsa::RawmidiPortList found = alsa::EnumerateRawmidiPorts();
  std::vector<alsa::StreamPort> outputs;
  for (auto& port : found.outputs) {
    outputs.push_back({port.caps,
                       [device = port.device](std::unique_ptr<alsa::ByteStream>* s) {
                         return alsa::OpenRawmidiOutput(device, s);
                       },
                       port.lock});
  }
  std::vector<alsa::StreamPort> inputs;
  for (auto& port : found.inputs) {
    inputs.push_back({port.caps,
                      [device = port.device](std::unique_ptr<alsa::ByteStream>* s) {
                        return alsa::OpenRawmidiInput(device, s);
                      },
                      port.lock});
  }
  return std::make_unique<alsa::StreamMidiLayer>(std::move(outputs), std::move(inputs));
}

}  // namespace tamblet::midi
