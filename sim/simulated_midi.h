#pragma once
// An in-process MIDI driver: configurable port lists, a device on the other
// side (a Peer), fault switches, and a thread of its own that runs the
// callbacks as a real driver does.
//
//   FastWaits driver_waits;                  // device delays pass through it
//   midi::SimulatedMidi midi(driver_waits);
//   uint32_t out = midi.AddOutPort(midi::MakeCaps(kMakerMid, kDeviceOutputPid, "QELMAR OUT 1"));
//   uint32_t in = midi.AddInPort(midi::MakeCaps(kMakerMid, kDeviceInputPid, "QELMAR IN 1"));
//   midi.Connect(&peer, out, in);             // requests to `out`, replies on `in`
//   CSysExPort port(midi, port_waits);        // declare the driver first: it outlives the port
//
// Late replies: a message whose delay_ms is kLate, or above SetLateAfter(ms),
// is held by the driver. It is delivered, and the call waits until it has
// been, either by ReleaseHeld() or at the start of the next call the program
// makes into this layer (from outside a callback). So a reply marked late
// arrives after the program's AwaitReply has given up and before whatever the
// program does next (its next Send or its Close), without any race on time.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/wait_policy.h"
#include "midi/midi_header.h"
#include "midi/midi_layer.h"
#include "sim/reply.h"

namespace tamblet::midi {

// The device on the far side of the cable.
class Peer {
 public:
  virtual ~Peer() = default;
  // Called on the driver's thread for every long message sent to the peer's
  // output port, before its MOM_DONE is reported. The replies leave in order
  // after that, each after its delay. Must not call the driver's blocking
  // hooks (Drain, ReleaseHeld).
  virtual std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) = 0;
};

// Any device with a matching OnRequest (the simulated device core, say) as a
// Peer.
template <typename Device>
class PeerFor final : public Peer {
 public:
  explicit PeerFor(Device& device) : device_(device) {}
  std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) override {
    return device_.OnRequest(request);
  }

 private:
  Device& device_;
};

// A call that fails with `result` once `after` calls of it have succeeded,
// counted from when the faults were set.
struct Fault {
  MMRESULT result = MMSYSERR_NOERROR;
  uint32_t after = 0;
};

struct OutPortFaults {
  MMRESULT get_caps = MMSYSERR_NOERROR;
  MMRESULT open = MMSYSERR_NOERROR;
  std::optional<PortHolder> holder;  // named by OutGetHolder
  Fault prepare;
  Fault long_msg;
  bool withhold_done = false;  // sends are accepted but never read: no MOM_DONE until OutReset
  std::optional<std::string> non_realtime_server;  // named by OutGetNonRealTimeServer
};

struct InPortFaults {
  MMRESULT get_caps = MMSYSERR_NOERROR;
  MMRESULT open = MMSYSERR_NOERROR;
  std::optional<PortHolder> holder;  // named by InGetHolder
  Fault reset;
  Fault prepare;
  Fault add_buffer;
  Fault start;
  std::optional<std::string> non_realtime_server;  // named by InGetNonRealTimeServer
};

// Driver faults that a message can be delivered with.
enum class Corruption {
  kNone,
  kCountPastBuffer,  // MIM_LONGDATA whose dwBytesRecorded exceeds the buffer
  kForeignHeader,    // MIM_LONGDATA with a header that is not one the program queued
};

class SimulatedMidi final : public MidiLayer {
 public:
  // A delay that means "held until released" (see the top of this file).
  static constexpr uint32_t kLate = UINT32_MAX;

  explicit SimulatedMidi(WaitPolicy& waits = RealTimeWaits());
  ~SimulatedMidi() override;
  SimulatedMidi(const SimulatedMidi&) = delete;
  SimulatedMidi& operator=(const SimulatedMidi&) = delete;

  // Port lists; each returns the new port's index.
  uint32_t AddOutPort(const MidiCaps& caps);
  uint32_t AddInPort(const MidiCaps& caps);
  void SetOutFaults(uint32_t index, const OutPortFaults& faults);
  void SetInFaults(uint32_t index, const InPortFaults& faults);

  // The device: what is sent to out_index goes to `peer`, whose replies arrive
  // on in_index. nullptr disconnects it.
  void Connect(Peer* peer, uint32_t out_index, uint32_t in_index);

  // Messages held back as late: delay kLate, or a delay above `ms`.
  void SetLateAfter(uint32_t ms);

  // An unsolicited message from the device side, queued behind what the driver
  // is already delivering, after its delay. Without an index it goes to the
  // connected input port.
  void Inject(sim::Reply message, Corruption corruption = Corruption::kNone);
  void Inject(uint32_t in_index, sim::Reply message, Corruption corruption = Corruption::kNone);

  // Delivers every held message and returns once they are handed over.
  void ReleaseHeld();
  // Returns once the driver has nothing left to do but held messages.
  void Drain();

  // What the driver saw and holds.
  std::vector<std::vector<uint8_t>> Sent(uint32_t out_index) const;  // every message read
  size_t QueuedBuffers(uint32_t in_index) const;      // receive buffers the driver holds
  size_t OutstandingSends(uint32_t out_index) const;  // handed over, MOM_DONE not yet reported
  bool IsOutOpen(uint32_t index) const;
  bool IsInOpen(uint32_t index) const;
  uint64_t delivered() const;  // MIM_LONGDATA / MIM_LONGERROR / MIM_DATA with a message
  // Every layer call the program made, "InOpen 1", "OutReset", ..., while recording.
  void RecordCalls(bool on);
  std::vector<std::string> Calls() const;

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
  struct Port;
  struct PortList;
  struct Work;
  struct FaultCounter;

  void Run();
  void ProcessSend(std::unique_lock<std::mutex>& lock, Work& work);
  void ProcessMessage(std::unique_lock<std::mutex>& lock, Work& work);
  void Invoke(std::unique_lock<std::mutex>& lock, Port* port, uint32_t msg, uintptr_t param1);
  bool AcquireCallback(std::unique_lock<std::mutex>& lock, Port* port);
  void ReleaseCallback(Port* port);
  // Entry of every layer call: records it and hands over held messages.
  std::unique_lock<std::mutex> Enter(const char* name, uint32_t arg = UINT32_MAX);
  void DeliverHeld(std::unique_lock<std::mutex>& lock);
  void WaitIdle(std::unique_lock<std::mutex>& lock);
  Port* Live(PortHandle handle, PortDirection direction);
  Port* OpenPort(PortDirection direction, uint32_t index) const;
  template <typename Entries>
  MMRESULT Open(Entries& entries, PortHandle* handle, uint32_t index, MidiCallback callback,
                uintptr_t instance);
  MMRESULT Check(FaultCounter& counter, const Fault& fault);
  void Queue(uint32_t in_index, sim::Reply message, Corruption corruption);

  WaitPolicy& waits_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::unique_ptr<PortList> ports_;
  std::vector<std::unique_ptr<Port>> opened_;  // every port ever opened; handles stay checkable
  std::deque<Work> work_;
  std::deque<Work> held_;
  Peer* peer_ = nullptr;
  uint32_t peer_out_ = 0;
  uint32_t peer_in_ = 0;
  uint32_t late_after_ = kLate;
  bool busy_ = false;
  bool stop_ = false;
  bool recording_ = false;
  std::vector<std::string> calls_;
  uint64_t delivered_ = 0;
  std::thread::id driver_thread_;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace tamblet::midi
