#include "midi/alsa/alsa_midi.h"

#include <alsa/asoundlib.h>

#include <mutex>

#include "midi/alsa/rawmidi_ports.h"
#include "midi/alsa/rawmidi_proc.h"
#include "midi/alsa/rawmidi_stream.h"
#include "midi/alsa/seq_stream.h"
#include "midi/stream/stream_midi_layer.h"

namespace tamblet::midi {
namespace {

void Quiet(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
           const char* /*format*/, ...) {}

using OpenStream = MMRESULT (*)(const std::string&, std::unique_ptr<stream::ByteStream>*);
using OpenShared = MMRESULT (*)(const alsa::RawmidiAddress&, std::unique_ptr<stream::ByteStream>*);

// The raw port first: it is exclusive, so nothing else reaches the device
// during an update. Only when another program holds it, the same port is
// shared through the card's sequencer client.
stream::StreamPort Port(const alsa::RawmidiPort& port, PortDirection direction, OpenStream raw,
                        OpenShared shared) {
  return {
      port.caps,
      [device = port.device, address = port.address, raw,
       shared](std::unique_ptr<stream::ByteStream>* stream) {
        const MMRESULT result = raw(device, stream);
        if (result != MMSYSERR_ALLOCATED) return result;
        return shared(address, stream) == MMSYSERR_NOERROR ? MMSYSERR_NOERROR : result;
      },
      [address = port.address, direction] { return alsa::FindRawmidiHolder(address, direction); },
      port.lock, std::nullopt};  // the kernel's own driver: no server between
}

std::unique_ptr<MidiLayer> LayerOf(alsa::RawmidiPortList found) {
  // A busy port is an expected case with a result of its own (and a holder to
  // name); the library would also print its complaint to standard error.
  static std::once_flag quiet;
  std::call_once(quiet, [] { snd_lib_error_set_handler(Quiet); });
  std::vector<stream::StreamPort> outputs;
  for (auto& port : found.outputs) {
    outputs.push_back(
        Port(port, PortDirection::kOutput, alsa::OpenRawmidiOutput, alsa::OpenSequencerOutput));
  }
  std::vector<stream::StreamPort> inputs;
  for (auto& port : found.inputs) {
    inputs.push_back(
        Port(port, PortDirection::kInput, alsa::OpenRawmidiInput, alsa::OpenSequencerInput));
  }
  return std::make_unique<stream::StreamMidiLayer>(std::move(outputs), std::move(inputs));
}

}  // namespace

std::unique_ptr<MidiLayer> CreateAlsaMidiLayer() { return LayerOf(alsa::EnumerateRawmidiPorts()); }

std::unique_ptr<MidiLayer> CreateAlsaCardMidiLayer(int card) {
  alsa::RawmidiPortList found = alsa::EnumerateRawmidiPorts();
  std::erase_if(found.outputs, [card](const auto& port) { return port.address.card != card; });
  std::erase_if(found.inputs, [card](const auto& port) { return port.address.card != card; });
  return LayerOf(std::move(found));
}

}  // namespace tamblet::midi
