#include "midi/alsa/alsa_midi.h"

#include "midi/alsa/rawmidi_ports.h"

namespace tamblet::midi {
namespace {

// Lists the ports; opening comes with the port engine.
class AlsaPortList : public MidiLayer {
 public:
  explicit AlsaPortList(alsa::RawmidiPortList ports) : ports_(std::move(ports)) {}
  uint32_t OutGetNumDevs() override { return static_cast<uint32_t>(ports_.outputs.size()); }
  uint32_t InGetNumDevs() override { return static_cast<uint32_t>(ports_.inputs.size()); }
  MMRESULT OutGetDevCaps(uint32_t index, MidiCaps* caps) override {
    if (index >= ports_.outputs.size()) return MMSYSERR_BADDEVICEID;
    *caps = ports_.outputs[index].caps;
    return MMSYSERR_NOERROR;
  }
  MMRESULT InGetDevCaps(uint32_t index, MidiCaps* caps) override {
    if (index >= ports_.inputs.size()) return MMSYSERR_BADDEVICEID;
    *caps = ports_.inputs[index].caps;
    return MMSYSERR_NOERROR;
  }
  MMRESULT OutOpen(PortHandle*, uint32_t, MidiCallback, uintptr_t) override {
    return MMSYSERR_NODRIVER;
  }
  MMRESULT OutPrepareHeader(PortHandle, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT OutUnprepareHeader(PortHandle, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT OutLongMsg(PortHandle, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT OutReset(PortHandle) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT OutClose(PortHandle) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InOpen(PortHandle*, uint32_t, MidiCallback, uintptr_t) override {
    return MMSYSERR_NODRIVER;
  }
  MMRESULT InPrepareHeader(PortHandle, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InUnprepareHeader(PortHandle, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InAddBuffer(PortHandle, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InStart(PortHandle) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InStop(PortHandle) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InReset(PortHandle) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT InClose(PortHandle) override { return MMSYSERR_INVALHANDLE; }

 private:
  alsa::RawmidiPortList ports_;
};

}  // namespace

std::unique_ptr<MidiLayer> CreateAlsaMidiLayer() {
  return std::make_unique<AlsaPortList>(alsa::EnumerateRawmidiPorts());
}

}  // namespace tamblet::midi
