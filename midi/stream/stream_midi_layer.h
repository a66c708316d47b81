#pragma once
// A MidiLayer whose ports are byte streams: each port is a capability record
// and a way to open its stream. The ALSA backend fills it with rawmidi ports;
// tests fill it with sockets.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "midi/device_lock.h"
#include "midi/midi_layer.h"
#include "midi/stream/byte_stream.h"
#include "midi/stream/port_engine.h"

namespace tamblet::midi::stream {

struct StreamPort {
  MidiCaps caps;
  // Opens the stream, or returns why not (MMSYSERR_ALLOCATED when another
  // program holds the port). Called once per open.
  std::function<MMRESULT(std::unique_ptr<ByteStream>* stream)> open;
  // Names the program holding the port, where that can be told; may be empty.
  std::function<std::optional<PortHolder>()> holder;
  // Names the port for a DeviceLock held while it is open; empty: no lock.
  std::string lock;
  // The server that carries it, when that runs without real-time scheduling.
  std::optional<std::string> non_realtime_server;
};

// Fills the two lists of ports: outputs, inputs.
using PortLister = std::function<void(std::vector<StreamPort>*, std::vector<StreamPort>*)>;

class StreamMidiLayer : public MidiLayer {
 public:
  StreamMidiLayer(std::vector<StreamPort> outputs, std::vector<StreamPort> inputs,
                  int write_stall_ms = kWriteStallMs);
  // The ports listed at the first question and kept, for a backend whose
  // listing talks to a server.
  explicit StreamMidiLayer(PortLister lister, int write_stall_ms = kWriteStallMs);
  ~StreamMidiLayer() override;  // closes the ports still open

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

 private:
  template <typename Engine>
  struct Open {
    std::unique_ptr<Engine> engine;
    uint32_t index;
    DeviceLock lock;  // released after the engine has closed
  };
  OutputEngine* FindOut(PortHandle port);
  InputEngine* FindIn(PortHandle port);
  const std::vector<StreamPort>& Outputs();
  const std::vector<StreamPort>& Inputs();

  PortLister lister_;
  std::once_flag listed_;
  std::vector<StreamPort> outputs_;  // fixed once listed_
  std::vector<StreamPort> inputs_;
  const int write_stall_ms_;
  // Guards the two maps only; never held while an engine works, since engine
  // calls come back in from callbacks.
  std::mutex mutex_;
  std::map<PortHandle, Open<OutputEngine>> open_outputs_;
  std::map<PortHandle, Open<InputEngine>> open_inputs_;
};

}  // namespace tamblet::midi::stream
