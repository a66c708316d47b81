#include "sim/simulated_midi.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "midi/midi_header.h"

namespace tamblet::midi {
namespace {

// Callbacks that this thread is running now. Layer calls made from inside a
// callback are the driver's business, not the program's next step.
thread_local int t_callback_depth = 0;

constexpr PortDirection kOut = PortDirection::kOutput;
constexpr PortDirection kIn = PortDirection::kInput;

}  // namespace

struct SimulatedMidi::FaultCounter {
  uint32_t calls = 0;
};

struct SimulatedMidi::Port {
  uint32_t index = 0;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;
  bool open = true;
  bool started = false;
  bool in_callback = false;
  std::deque<MIDIHDR*> queued;   // input: receive buffers, in order
  std::deque<MIDIHDR*> stalled;  // output: accepted but never read (withhold_done)
  size_t sends_pending = 0;      // output: queued or being read, MOM_DONE not yet reported
  MIDIHDR foreign{};             // input: a header of the driver's own (Corruption)
  uint8_t foreign_data[16] = {};
};

struct SimulatedMidi::PortList {
  struct Out {
    MidiCaps caps;
    OutPortFaults faults;
    FaultCounter prepare, long_msg;
    std::vector<std::vector<uint8_t>> sent;
    Port* open = nullptr;
  };
  struct In {
    MidiCaps caps;
    InPortFaults faults;
    FaultCounter reset, prepare, add_buffer, start;
    Port* open = nullptr;
  };
  std::vector<Out> out;
  std::vector<In> in;
};

struct SimulatedMidi::Work {
  enum class Kind { kSend, kMessage };
  Kind kind = Kind::kMessage;
  Port* port = nullptr;  // kSend
  MIDIHDR* header = nullptr;
  uint32_t in_index = 0;  // kMessage
  sim::Reply message;
  Corruption corruption = Corruption::kNone;
};

SimulatedMidi::SimulatedMidi(WaitPolicy& waits)
    : waits_(waits), ports_(std::make_unique<PortList>()), thread_([this] { Run(); }) {}

SimulatedMidi::~SimulatedMidi() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }
  thread_.join();
}

uint32_t SimulatedMidi::AddOutPort(const MidiCaps& caps) {
  std::lock_guard<std::mutex> lock(mutex_);
  ports_->out.push_back({});
  ports_->out.back().caps = caps;
  return static_cast<uint32_t>(ports_->out.size() - 1);
}

uint32_t SimulatedMidi::AddInPort(const MidiCaps& caps) {
  std::lock_guard<std::mutex> lock(mutex_);
  ports_->in.push_back({});
  ports_->in.back().caps = caps;
  return static_cast<uint32_t>(ports_->in.size() - 1);
}

void SimulatedMidi::SetOutFaults(uint32_t index, const OutPortFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& entry = ports_->out.at(index);
  entry.faults = faults;
  entry.prepare = entry.long_msg = {};
}

void SimulatedMidi::SetInFaults(uint32_t index, const InPortFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& entry = ports_->in.at(index);
  entry.faults = faults;
  entry.reset = entry.prepare = entry.add_buffer = entry.start = {};
}

void SimulatedMidi::Connect(Peer* peer, uint32_t out_index, uint32_t in_index) {
  std::lock_guard<std::mutex> lock(mutex_);
  peer_ = peer;
  peer_out_ = out_index;
  peer_in_ = in_index;
}

void SimulatedMidi::SetLateAfter(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  late_after_ = ms;
}

void SimulatedMidi::Inject(sim::Reply message, Corruption corruption) {
  std::lock_guard<std::mutex> lock(mutex_);
  Queue(peer_in_, std::move(message), corruption);
}

void SimulatedMidi::Inject(uint32_t in_index, sim::Reply message, Corruption corruption) {
  std::lock_guard<std::mutex> lock(mutex_);
  Queue(in_index, std::move(message), corruption);
}

void SimulatedMidi::Queue(uint32_t in_index, sim::Reply message, Corruption corruption) {
  Work work;
  work.kind = Work::Kind::kMessage;
  work.in_index = in_index;
  work.corruption = corruption;
  const bool late = message.delay_ms == kLate || message.delay_ms > late_after_;
  work.message = std::move(message);
  if (late) {
    held_.push_back(std::move(work));
  } else {
    work_.push_back(std::move(work));
    cv_.notify_all();
  }
}

void SimulatedMidi::ReleaseHeld() {
  std::unique_lock<std::mutex> lock(mutex_);
  DeliverHeld(lock);
}

void SimulatedMidi::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock);
}

void SimulatedMidi::DeliverHeld(std::unique_lock<std::mutex>& lock) {
  if (held_.empty()) return;
  for (Work& work : held_) {
    work.message.delay_ms = 0;  // its time has passed
    work_.push_back(std::move(work));
  }
  held_.clear();
  cv_.notify_all();
  WaitIdle(lock);
}

void SimulatedMidi::WaitIdle(std::unique_lock<std::mutex>& lock) {
  cv_.wait(lock, [this] { return work_.empty() && !busy_; });
}

std::vector<std::vector<uint8_t>> SimulatedMidi::Sent(uint32_t out_index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ports_->out.at(out_index).sent;
}

size_t SimulatedMidi::QueuedBuffers(uint32_t in_index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* port = OpenPort(kIn, in_index);
  return port ? port->queued.size() : 0;
}

size_t SimulatedMidi::OutstandingSends(uint32_t out_index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* port = OpenPort(kOut, out_index);
  return port ? port->sends_pending + port->stalled.size() : 0;
}

bool SimulatedMidi::IsOutOpen(uint32_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return OpenPort(kOut, index) != nullptr;
}

bool SimulatedMidi::IsInOpen(uint32_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return OpenPort(kIn, index) != nullptr;
}

uint64_t SimulatedMidi::delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

void SimulatedMidi::RecordCalls(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  recording_ = on;
  calls_.clear();
}

std::vector<std::string> SimulatedMidi::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

// --- the driver's thread ----------------------------------------------------

void SimulatedMidi::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  driver_thread_ = std::this_thread::get_id();
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !work_.empty(); });
    if (stop_) return;
    Work work = std::move(work_.front());
    work_.pop_front();
    busy_ = true;
    if (work.kind == Work::Kind::kSend) {
      ProcessSend(lock, work);
    } else {
      ProcessMessage(lock, work);
    }
    busy_ = false;
    cv_.notify_all();
  }
}

void SimulatedMidi::ProcessSend(std::unique_lock<std::mutex>& lock, Work& work) {
  Port* port = work.port;
  // OutReset takes its sends out of the queue, so this one is still wanted.
  std::vector<uint8_t> bytes(work.header->lpData,
                             work.header->lpData + work.header->dwBufferLength);
  ports_->out[port->index].sent.push_back(bytes);

  // The device has the request before the send is reported done, so once the
  // program's Send returns, the replies are scheduled (and late ones held).
  if (peer_ != nullptr && peer_out_ == port->index) {
    Peer* peer = peer_;
    const uint32_t in_index = peer_in_;
    lock.unlock();
    std::vector<sim::Reply> replies = peer->OnRequest(bytes);
    lock.lock();
    for (sim::Reply& reply : replies) Queue(in_index, std::move(reply), Corruption::kNone);
  }

  if (AcquireCallback(lock, port)) {
    MarkDone(work.header);
    Invoke(lock, port, MOM_DONE, reinterpret_cast<uintptr_t>(work.header));
    ReleaseCallback(port);
  }
  --port->sends_pending;
  cv_.notify_all();
}

void SimulatedMidi::ProcessMessage(std::unique_lock<std::mutex>& lock, Work& work) {
  if (work.message.delay_ms > 0) {
    waits_.WaitFor(cv_, lock, work.message.delay_ms, [this] { return stop_; });
    if (stop_) return;
  }
  Port* port = OpenPort(kIn, work.in_index);
  if (port == nullptr || !port->started || !AcquireCallback(lock, port)) return;
  const std::vector<uint8_t>& bytes = work.message.bytes;
  if (work.message.kind == sim::Reply::Kind::kShortData) {
    uintptr_t packed = 0;
    for (size_t i = 0; i < std::min<size_t>(bytes.size(), 3); ++i)
      packed |= uintptr_t{bytes[i]} << (8 * i);
    ++delivered_;
    Invoke(lock, port, MIM_DATA, packed);
  } else if (work.corruption == Corruption::kForeignHeader) {
    MIDIHDR& header = port->foreign;
    header.lpData = port->foreign_data;
    header.dwBufferLength = sizeof port->foreign_data;
    header.dwBytesRecorded = sizeof port->foreign_data;
    header.dwFlags = MHDR_DONE | MHDR_PREPARED;
    ++delivered_;
    Invoke(lock, port, MIM_LONGDATA, reinterpret_cast<uintptr_t>(&header));
  } else if (!port->queued.empty()) {  // without a buffer it is lost, as on a real driver
    MIDIHDR* header = port->queued.front();
    port->queued.pop_front();
    const size_t n = std::min<size_t>(bytes.size(), header->dwBufferLength);
    if (n > 0) std::memcpy(header->lpData, bytes.data(), n);
    header->dwBytesRecorded = static_cast<uint32_t>(n);
    if (work.corruption == Corruption::kCountPastBuffer) {
      header->dwBytesRecorded = header->dwBufferLength + 1000;
    }
    MarkDone(header);
    const bool whole = work.message.kind == sim::Reply::Kind::kLongData &&
                       bytes.size() <= header->dwBufferLength && IsWholeSysEx(bytes);
    ++delivered_;
    Invoke(lock, port, whole ? MIM_LONGDATA : MIM_LONGERROR, reinterpret_cast<uintptr_t>(header));
  }
  ReleaseCallback(port);
}

// One callback of a port at a time, whichever thread runs it.
bool SimulatedMidi::AcquireCallback(std::unique_lock<std::mutex>& lock, Port* port) {
  cv_.wait(lock, [port] { return !port->in_callback || !port->open; });
  if (!port->open) return false;
  port->in_callback = true;
  return true;
}

void SimulatedMidi::ReleaseCallback(Port* port) {
  port->in_callback = false;
  cv_.notify_all();
}

void SimulatedMidi::Invoke(std::unique_lock<std::mutex>& lock, Port* port, uint32_t msg,
                           uintptr_t param1) {
  lock.unlock();
  ++t_callback_depth;
  port->callback(reinterpret_cast<PortHandle>(port), msg, port->instance, param1, 0);
  --t_callback_depth;
  lock.lock();
}

// --- calls the program makes --------------------------------------------------

std::unique_lock<std::mutex> SimulatedMidi::Enter(const char* name, uint32_t arg) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (t_callback_depth == 0 && std::this_thread::get_id() != driver_thread_) {
    if (recording_) {
      calls_.push_back(arg == UINT32_MAX ? std::string(name)
                                         : std::string(name) + " " + std::to_string(arg));
    }
    DeliverHeld(lock);
  }
  return lock;
}

SimulatedMidi::Port* SimulatedMidi::OpenPort(PortDirection direction, uint32_t index) const {
  if (direction == kIn) return index < ports_->in.size() ? ports_->in[index].open : nullptr;
  return index < ports_->out.size() ? ports_->out[index].open : nullptr;
}

SimulatedMidi::Port* SimulatedMidi::Live(PortHandle handle, PortDirection direction) {
  if (handle == nullptr) return nullptr;
  const auto find = [handle](auto& entries) -> Port* {
    for (auto& entry : entries) {
      if (entry.open != nullptr && reinterpret_cast<PortHandle>(entry.open) == handle) {
        return entry.open;
      }
    }
    return nullptr;
  };
  return direction == kIn ? find(ports_->in) : find(ports_->out);
}

MMRESULT SimulatedMidi::Check(FaultCounter& counter, const Fault& fault) {
  if (fault.result != MMSYSERR_NOERROR && counter.calls >= fault.after) return fault.result;
  ++counter.calls;
  return MMSYSERR_NOERROR;
}

uint32_t SimulatedMidi::OutGetNumDevs() {
  auto lock = Enter("OutGetNumDevs");
  return static_cast<uint32_t>(ports_->out.size());
}

MMRESULT SimulatedMidi::OutGetDevCaps(uint32_t index, MidiCaps* caps) {
  auto lock = Enter("OutGetDevCaps", index);
  if (index >= ports_->out.size()) return MMSYSERR_BADDEVICEID;
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  const auto& entry = ports_->out[index];
  if (entry.faults.get_caps != MMSYSERR_NOERROR) return entry.faults.get_caps;
  *caps = entry.caps;
  return MMSYSERR_NOERROR;
}

std::optional<PortHolder> SimulatedMidi::OutGetHolder(uint32_t index) {
  auto lock = Enter("OutGetHolder", index);
  return index < ports_->out.size() ? ports_->out[index].faults.holder : std::nullopt;
}

std::optional<PortHolder> SimulatedMidi::InGetHolder(uint32_t index) {
  auto lock = Enter("InGetHolder", index);
  return index < ports_->in.size() ? ports_->in[index].faults.holder : std::nullopt;
}

std::optional<std::string> SimulatedMidi::OutGetNonRealTimeServer(uint32_t index) {
  auto lock = Enter("OutGetNonRealTimeServer", index);
  return index < ports_->out.size() ? ports_->out[index].faults.non_realtime_server : std::nullopt;
}

std::optional<std::string> SimulatedMidi::InGetNonRealTimeServer(uint32_t index) {
  auto lock = Enter("InGetNonRealTimeServer", index);
  return index < ports_->in.size() ? ports_->in[index].faults.non_realtime_server : std::nullopt;
}

uint32_t SimulatedMidi::InGetNumDevs() {
  auto lock = Enter("InGetNumDevs");
  return static_cast<uint32_t>(ports_->in.size());
}

MMRESULT SimulatedMidi::InGetDevCaps(uint32_t index, MidiCaps* caps) {
  auto lock = Enter("InGetDevCaps", index);
  if (index >= ports_->in.size()) return MMSYSERR_BADDEVICEID;
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  const auto& entry = ports_->in[index];
  if (entry.faults.get_caps != MMSYSERR_NOERROR) return entry.faults.get_caps;
  *caps = entry.caps;
  return MMSYSERR_NOERROR;
}

template <typename Entries>
MMRESULT SimulatedMidi::Open(Entries& entries, PortHandle* handle, uint32_t index,
                             MidiCallback callback, uintptr_t instance) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (index >= entries.size()) return MMSYSERR_BADDEVICEID;
  auto& entry = entries[index];
  if (entry.faults.open != MMSYSERR_NOERROR) return entry.faults.open;
  if (entry.open != nullptr) return MMSYSERR_ALLOCATED;
  auto port = std::make_unique<Port>();
  port->index = index;
  port->callback = callback;
  port->instance = instance;
  entry.open = port.get();
  *handle = reinterpret_cast<PortHandle>(port.get());
  opened_.push_back(std::move(port));
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::OutOpen(PortHandle* handle, uint32_t index, MidiCallback callback,
                                uintptr_t instance) {
  auto lock = Enter("OutOpen", index);
  return Open(ports_->out, handle, index, callback, instance);
}

MMRESULT SimulatedMidi::OutPrepareHeader(PortHandle handle, MIDIHDR* header) {
  auto lock = Enter("OutPrepareHeader");
  Port* port = Live(handle, kOut);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  if (MMRESULT r = Check(ports_->out[port->index].prepare, ports_->out[port->index].faults.prepare))
    return r;
  return PrepareHeader(header);
}

MMRESULT SimulatedMidi::OutUnprepareHeader(PortHandle handle, MIDIHDR* header) {
  auto lock = Enter("OutUnprepareHeader");
  if (Live(handle, kOut) == nullptr) return MMSYSERR_INVALHANDLE;
  return UnprepareHeader(header);
}

MMRESULT SimulatedMidi::OutLongMsg(PortHandle handle, MIDIHDR* header) {
  auto lock = Enter("OutLongMsg");
  Port* port = Live(handle, kOut);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (MMRESULT r = CheckQueueable(header)) return r;
  auto& entry = ports_->out[port->index];
  if (MMRESULT r = Check(entry.long_msg, entry.faults.long_msg)) return r;
  MarkQueued(header);
  if (entry.faults.withhold_done) {
    port->stalled.push_back(header);
    return MMSYSERR_NOERROR;
  }
  Work work;
  work.kind = Work::Kind::kSend;
  work.port = port;
  work.header = header;
  ++port->sends_pending;
  work_.push_back(std::move(work));
  cv_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::OutReset(PortHandle handle) {
  auto lock = Enter("OutReset");
  Port* port = Live(handle, kOut);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  std::vector<MIDIHDR*> abandoned(port->stalled.begin(), port->stalled.end());
  port->stalled.clear();
  for (auto it = work_.begin(); it != work_.end();) {
    if (it->kind == Work::Kind::kSend && it->port == port) {
      abandoned.push_back(it->header);
      --port->sends_pending;
      it = work_.erase(it);
    } else {
      ++it;
    }
  }
  // A send the driver is reading now completes with its own MOM_DONE.
  cv_.wait(lock, [port] { return port->sends_pending == 0; });
  if (!abandoned.empty() && AcquireCallback(lock, port)) {
    for (MIDIHDR* header : abandoned) {
      MarkDone(header);
      Invoke(lock, port, MOM_DONE, reinterpret_cast<uintptr_t>(header));
    }
    ReleaseCallback(port);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::OutClose(PortHandle handle) {
  auto lock = Enter("OutClose");
  Port* port = Live(handle, kOut);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (port->sends_pending != 0 || !port->stalled.empty()) return MIDIERR_STILLPLAYING;
  port->open = false;
  ports_->out[port->index].open = nullptr;
  cv_.notify_all();
  cv_.wait(lock, [port] { return !port->in_callback; });
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::InOpen(PortHandle* handle, uint32_t index, MidiCallback callback,
                               uintptr_t instance) {
  auto lock = Enter("InOpen", index);
  return Open(ports_->in, handle, index, callback, instance);
}

MMRESULT SimulatedMidi::InPrepareHeader(PortHandle handle, MIDIHDR* header) {
  auto lock = Enter("InPrepareHeader");
  Port* port = Live(handle, kIn);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) {
    return MMSYSERR_INVALPARAM;
  }
  auto& entry = ports_->in[port->index];
  if (MMRESULT r = Check(entry.prepare, entry.faults.prepare)) return r;
  return PrepareHeader(header);
}

MMRESULT SimulatedMidi::InUnprepareHeader(PortHandle handle, MIDIHDR* header) {
  auto lock = Enter("InUnprepareHeader");
  if (Live(handle, kIn) == nullptr) return MMSYSERR_INVALHANDLE;
  return UnprepareHeader(header);
}

MMRESULT SimulatedMidi::InAddBuffer(PortHandle handle, MIDIHDR* header) {
  auto lock = Enter("InAddBuffer");
  Port* port = Live(handle, kIn);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (MMRESULT r = CheckQueueable(header)) return r;
  auto& entry = ports_->in[port->index];
  if (MMRESULT r = Check(entry.add_buffer, entry.faults.add_buffer)) return r;
  MarkQueued(header);
  header->dwBytesRecorded = 0;
  port->queued.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::InStart(PortHandle handle) {
  auto lock = Enter("InStart");
  Port* port = Live(handle, kIn);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  auto& entry = ports_->in[port->index];
  if (MMRESULT r = Check(entry.start, entry.faults.start)) return r;
  port->started = true;
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::InStop(PortHandle handle) {
  auto lock = Enter("InStop");
  Port* port = Live(handle, kIn);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  port->started = false;
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::InReset(PortHandle handle) {
  auto lock = Enter("InReset");
  Port* port = Live(handle, kIn);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  auto& entry = ports_->in[port->index];
  if (MMRESULT r = Check(entry.reset, entry.faults.reset)) return r;
  port->started = false;
  // Handed back on the caller's thread, before the reset returns, one
  // callback at a time with the driver's own.
  if (!AcquireCallback(lock, port)) return MMSYSERR_NOERROR;
  std::deque<MIDIHDR*> returned;
  returned.swap(port->queued);
  for (MIDIHDR* header : returned) {
    header->dwBytesRecorded = 0;
    MarkDone(header);
    Invoke(lock, port, MIM_LONGDATA, reinterpret_cast<uintptr_t>(header));
  }
  ReleaseCallback(port);
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidi::InClose(PortHandle handle) {
  auto lock = Enter("InClose");
  Port* port = Live(handle, kIn);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (!port->queued.empty()) return MIDIERR_STILLPLAYING;
  port->open = false;
  port->started = false;
  ports_->in[port->index].open = nullptr;
  cv_.notify_all();
  cv_.wait(lock, [port] { return !port->in_callback; });
  return MMSYSERR_NOERROR;
}

}  // namespace tamblet::midi
