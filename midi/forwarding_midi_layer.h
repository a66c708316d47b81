#pragma once
// A layer that shows the ports of other layers. Every operation is forwarded
// here, once: a port index goes where Locate says, a handle to the layer Owner
// names, and the result comes back unchanged. A wrapper supplies the routing
// and overrides only the calls it changes, so none can be left unforwarded.

#include <cstdint>
#include <optional>

#include "base/device_identity.h"
#include "midi/midi_layer.h"

namespace tamblet::midi {

class ForwardingMidiLayer : public MidiLayer {
 public:
  uint32_t OutGetNumDevs() override;
  MMRESULT OutGetDevCaps(uint32_t index, MidiCaps* caps) override;
  uint32_t InGetNumDevs() override;
  MMRESULT InGetDevCaps(uint32_t index, MidiCaps* caps) override;

  MMRESULT OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                   uintptr_t instance) override;
  MMRESULT OutPrepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT OutUnprepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT OutLongMsg(PortHandle port, MIDIHDR* header) override;
  MMRESULT OutReset(PortHandle port) override;
  MMRESULT OutClose(PortHandle port) override;

  MMRESULT InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                  uintptr_t instance) override;
  MMRESULT InPrepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT InUnprepareHeader(PortHandle port, MIDIHDR* header) override;
  MMRESULT InAddBuffer(PortHandle port, MIDIHDR* header) override;
  MMRESULT InStart(PortHandle port) override;
  MMRESULT InStop(PortHandle port) override;
  MMRESULT InReset(PortHandle port) override;
  MMRESULT InClose(PortHandle port) override;
  std::optional<PortHolder> OutGetHolder(uint32_t index) override;
  std::optional<PortHolder> InGetHolder(uint32_t index) override;
  std::optional<std::string> OutGetNonRealTimeServer(uint32_t index) override;
  std::optional<std::string> InGetNonRealTimeServer(uint32_t index) override;

 protected:
  struct Target {
    MidiLayer* layer;
    uint32_t index;  // in that layer
  };

  // How many ports of that direction this layer shows.
  virtual uint32_t Count(PortDirection direction) = 0;
  // Where our port `index` is; nothing when there is no such port.
  virtual std::optional<Target> Locate(PortDirection direction, uint32_t index) = 0;
  // The layer that owns an open handle; nullptr when it is not one of ours.
  // Handle calls may come from a backend's callback thread, so this must not
  // hold anything across the call it routes.
  virtual MidiLayer* Owner(PortDirection direction, PortHandle port) = 0;
  // A handle just opened on `layer`; refusing it closes it again.
  virtual bool Adopt(PortDirection, PortHandle, MidiLayer&) { return true; }
  // A handle whose close has returned.
  virtual void Forget(PortDirection, PortHandle) {}

 private:
  MMRESULT Open(PortDirection direction, PortHandle* port, uint32_t index, MidiCallback callback,
                uintptr_t instance);
  MMRESULT Close(PortDirection direction, PortHandle port);
  template <typename Call>
  MMRESULT Forward(PortDirection direction, PortHandle port, Call call) {
    MidiLayer* layer = Owner(direction, port);
    return layer == nullptr ? MMSYSERR_INVALHANDLE : call(*layer);
  }
};

}  // namespace tamblet::midi
