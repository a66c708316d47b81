#include "midi/stream/stream_midi_layer.h"

#include "midi/midi_header.h"

namespace tamblet::midi::stream {
namespace {

template <typename Map>
bool IndexInUse(const Map& open, uint32_t index) {
  for (const auto& [handle, port] : open) {
    if (port.index == index) {
      return true;
    }
  }
  return false;
}

std::optional<PortHolder> HolderOf(const std::vector<StreamPort>& ports, uint32_t index) {
  if (index >= ports.size() || !ports[index].holder) {
    return std::nullopt;
  }
  return ports[index].holder();
}

}  // namespace

StreamMidiLayer::StreamMidiLayer(std::vector<StreamPort> outputs, std::vector<StreamPort> inputs,
                                 int write_stall_ms)
    : outputs_(std::move(outputs)), inputs_(std::move(inputs)), write_stall_ms_(write_stall_ms) {}

StreamMidiLayer::StreamMidiLayer(PortLister lister, int write_stall_ms)
    : lister_(std::move(lister)), write_stall_ms_(write_stall_ms) {}

const std::vector<StreamPort>& StreamMidiLayer::Outputs() {
  std::call_once(listed_, [this] {
    if (lister_) lister_(&outputs_, &inputs_);
  });
  return outputs_;
}

const std::vector<StreamPort>& StreamMidiLayer::Inputs() {
  Outputs();
  return inputs_;
}

StreamMidiLayer::~StreamMidiLayer() {
  std::map<PortHandle, Open<OutputEngine>> outputs;
  std::map<PortHandle, Open<InputEngine>> inputs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs.swap(open_outputs_);
    inputs.swap(open_inputs_);
  }
  // The engines close themselves as they go.
}

uint32_t StreamMidiLayer::OutGetNumDevs() { return static_cast<uint32_t>(Outputs().size()); }
uint32_t StreamMidiLayer::InGetNumDevs() { return static_cast<uint32_t>(Inputs().size()); }

MMRESULT StreamMidiLayer::OutGetDevCaps(uint32_t index, MidiCaps* caps) {
  if (caps == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if (index >= Outputs().size()) {
    return MMSYSERR_BADDEVICEID;
  }
  *caps = Outputs()[index].caps;
  return MMSYSERR_NOERROR;
}

MMRESULT StreamMidiLayer::InGetDevCaps(uint32_t index, MidiCaps* caps) {
  if (caps == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if (index >= Inputs().size()) {
    return MMSYSERR_BADDEVICEID;
  }
  *caps = Inputs()[index].caps;
  return MMSYSERR_NOERROR;
}

MMRESULT StreamMidiLayer::OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                                  uintptr_t instance) {
  if (port == nullptr || callback == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if (index >= Outputs().size()) {
    return MMSYSERR_BADDEVICEID;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (IndexInUse(open_outputs_, index)) {
    return MMSYSERR_ALLOCATED;
  }
  DeviceLock device_lock;
  if (!Outputs()[index].lock.empty()) {
    if (const MMRESULT locked = LockResult(device_lock.Take(Outputs()[index].lock))) return locked;
  }
  std::unique_ptr<ByteStream> stream;
  const MMRESULT result = Outputs()[index].open(&stream);
  if (result != MMSYSERR_NOERROR) {
    return result;
  }
  auto engine =
      std::make_unique<OutputEngine>(std::move(stream), callback, instance, write_stall_ms_);
  *port = engine->handle();
  open_outputs_.emplace(*port,
                        Open<OutputEngine>{std::move(engine), index, std::move(device_lock)});
  return MMSYSERR_NOERROR;
}

MMRESULT StreamMidiLayer::InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                                 uintptr_t instance) {
  if (port == nullptr || callback == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if (index >= Inputs().size()) {
    return MMSYSERR_BADDEVICEID;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (IndexInUse(open_inputs_, index)) {
    return MMSYSERR_ALLOCATED;
  }
  DeviceLock device_lock;
  if (!Inputs()[index].lock.empty()) {
    if (const MMRESULT locked = LockResult(device_lock.Take(Inputs()[index].lock))) return locked;
  }
  std::unique_ptr<ByteStream> stream;
  const MMRESULT result = Inputs()[index].open(&stream);
  if (result != MMSYSERR_NOERROR) {
    return result;
  }
  auto engine = std::make_unique<InputEngine>(std::move(stream), callback, instance);
  *port = engine->handle();
  open_inputs_.emplace(*port, Open<InputEngine>{std::move(engine), index, std::move(device_lock)});
  return MMSYSERR_NOERROR;
}

OutputEngine* StreamMidiLayer::FindOut(PortHandle port) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_outputs_.find(port);
  return it == open_outputs_.end() ? nullptr : it->second.engine.get();
}

InputEngine* StreamMidiLayer::FindIn(PortHandle port) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_inputs_.find(port);
  return it == open_inputs_.end() ? nullptr : it->second.engine.get();
}

MMRESULT StreamMidiLayer::OutPrepareHeader(PortHandle port, MIDIHDR* header) {
  return FindOut(port) == nullptr ? MMSYSERR_INVALHANDLE : PrepareHeader(header);
}

MMRESULT StreamMidiLayer::OutUnprepareHeader(PortHandle port, MIDIHDR* header) {
  return FindOut(port) == nullptr ? MMSYSERR_INVALHANDLE : UnprepareHeader(header);
}

MMRESULT StreamMidiLayer::OutLongMsg(PortHandle port, MIDIHDR* header) {
  OutputEngine* engine = FindOut(port);
  return engine == nullptr ? MMSYSERR_INVALHANDLE : engine->LongMsg(header);
}

MMRESULT StreamMidiLayer::OutReset(PortHandle port) {
  OutputEngine* engine = FindOut(port);
  return engine == nullptr ? MMSYSERR_INVALHANDLE : engine->Reset();
}

MMRESULT StreamMidiLayer::OutClose(PortHandle port) {
  OutputEngine* engine = FindOut(port);
  if (engine == nullptr) {
    return MMSYSERR_INVALHANDLE;
  }
  // Closed outside the lock: its last callbacks may call into this layer.
  engine->Close();
  std::unique_ptr<OutputEngine> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_outputs_.find(port);
    gone = std::move(it->second.engine);
    open_outputs_.erase(it);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT StreamMidiLayer::InPrepareHeader(PortHandle port, MIDIHDR* header) {
  return FindIn(port) == nullptr ? MMSYSERR_INVALHANDLE : PrepareHeader(header);
}

MMRESULT StreamMidiLayer::InUnprepareHeader(PortHandle port, MIDIHDR* header) {
  return FindIn(port) == nullptr ? MMSYSERR_INVALHANDLE : UnprepareHeader(header);
}

MMRESULT StreamMidiLayer::InAddBuffer(PortHandle port, MIDIHDR* header) {
  InputEngine* engine = FindIn(port);
  return engine == nullptr ? MMSYSERR_INVALHANDLE : engine->AddBuffer(header);
}

MMRESULT StreamMidiLayer::InStart(PortHandle port) {
  InputEngine* engine = FindIn(port);
  return engine == nullptr ? MMSYSERR_INVALHANDLE : engine->Start();
}

MMRESULT StreamMidiLayer::InStop(PortHandle port) {
  InputEngine* engine = FindIn(port);
  return engine == nullptr ? MMSYSERR_INVALHANDLE : engine->Stop();
}

MMRESULT StreamMidiLayer::InReset(PortHandle port) {
  InputEngine* engine = FindIn(port);
  return engine == nullptr ? MMSYSERR_INVALHANDLE : engine->Reset();
}

MMRESULT StreamMidiLayer::InClose(PortHandle port) {
  InputEngine* engine = FindIn(port);
  if (engine == nullptr) {
    return MMSYSERR_INVALHANDLE;
  }
  engine->Close();
  std::unique_ptr<InputEngine> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_inputs_.find(port);
    gone = std::move(it->second.engine);
    open_inputs_.erase(it);
  }
  return MMSYSERR_NOERROR;
}

std::optional<PortHolder> StreamMidiLayer::OutGetHolder(uint32_t index) {
  return HolderOf(Outputs(), index);
}

std::optional<PortHolder> StreamMidiLayer::InGetHolder(uint32_t index) {
  return HolderOf(Inputs(), index);
}

std::optional<std::string> StreamMidiLayer::OutGetNonRealTimeServer(uint32_t index) {
  return index < Outputs().size() ? Outputs()[index].non_realtime_server : std::nullopt;
}

std::optional<std::string> StreamMidiLayer::InGetNonRealTimeServer(uint32_t index) {
  return index < Inputs().size() ? Inputs()[index].non_realtime_server : std::nullopt;
}

}  // namespace tamblet::midi::stream
