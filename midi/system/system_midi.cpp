#include "midi/system/system_midi.h"

#include <vector>

#include "midi/alsa/alsa_midi.h"
#include "midi/system/composite_midi_layer.h"
#ifdef TAMBLET_HAVE_JACK
#include "midi/jack/jack_midi.h"
#endif

namespace tamblet::midi {

std::unique_ptr<MidiLayer> CreateSystemMidiLayer() {
  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(CreateAlsaMidiLayer());
#ifdef TAMBLET_HAVE_JACK
  // With no JACK server running this layer simply has no ports.
  layers.push_back(CreateJackMidiLayer());
#endif
  return std::make_unique<CompositeMidiLayer>(std::move(layers));
}

std::unique_ptr<PortWatch> CreateSystemPortWatch() {
#ifdef TAMBLET_HAVE_JACK
  return CreateJackPortWatch();
#else
  class Never final : public PortWatch {
    bool Changed() override { return false; }
  };
  return std::make_unique<Never>();
#endif
}

bool SystemJackServerMissing() {
#ifdef TAMBLET_HAVE_JACK
  return !JackServerRuns();
#else
  return false;
#endif
}

}  // namespace tamblet::midi
