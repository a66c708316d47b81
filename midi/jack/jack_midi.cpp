#include "midi/jack/jack_midi.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "midi/jack/jack_port_names.h"
#include "midi/jack/jack_ring.h"

namespace tamblet::midi {
namespace {

constexpr size_t kEventRingBytes = 1 << 16;  // a few of the largest events
constexpr size_t kDoneRingBytes = 1 << 12;
constexpr size_t kLargestSend = kEventRingBytes / 2;
// How long an open waits for the server to put a new connection into effect.
constexpr auto kConnectWait = std::chrono::seconds(2);

enum class Dir { kOut, kIn };

void Quiet(const char*) {}

// Semaphores are the one wake-up the process callback may give: sem_post
// neither blocks nor allocates.
class Semaphore {
 public:
  Semaphore() { sem_init(&sem_, 0, 0); }
  ~Semaphore() { sem_destroy(&sem_); }
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  void Post() { sem_post(&sem_); }
  void Wait() {
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
  }

 private:
  sem_t sem_;
};

// One JACK client of ours with its two MIDI ports, shared by enumeration and
// the open ports. The process callback reads only atomics and the rings.
struct Session {
  jack_client_t* client = nullptr;
  std::atomic<jack_port_t*> out_port{nullptr};
  std::atomic<jack_port_t*> in_port{nullptr};
  EventRing out_ring{kEventRingBytes};  // sends, written by OutLongMsg
  EventRing done_ring{kDoneRingBytes};  // one record per send written (or failed)
  EventRing in_ring{kEventRingBytes};   // received events
  Semaphore out_wake;
  Semaphore in_wake;
  std::atomic<bool> dead{false};
  bool active = false;
  std::atomic<bool> out_enabled{false};
  std::atomic<bool> in_enabled{false};
  std::atomic<uint32_t> out_tag{0};
  std::atomic<uint32_t> in_tag{0};
  std::atomic<uint32_t> max_event_size{0};  // of an empty output buffer; 0 until known
  std::atomic<uint64_t> cycles{0};          // process calls so far

  Session() = default;
  ~Session() {
    if (client != nullptr) jack_client_close(client);  // no callback runs after this
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void ProcessOutput(jack_nframes_t frames) {
    jack_port_t* port = out_port.load(std::memory_order_acquire);
    if (port == nullptr) return;
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    const size_t largest = jack_midi_max_event_size(buffer);
    max_event_size.store(static_cast<uint32_t>(largest), std::memory_order_relaxed);
    const bool enabled = out_enabled.load(std::memory_order_acquire);
    const uint32_t tag = out_tag.load(std::memory_order_acquire);
    bool reported = false;
    RingRecord head;
    while (out_ring.Peek(&head)) {
      if (!enabled || head.tag != tag) {  // abandoned by a reset or a close
        out_ring.Consume(head, nullptr);
        continue;
      }
      RingRecord done{0, head.tag, 0};
      if (head.length > largest) {
        out_ring.Consume(head, nullptr);
        done.flags = kRecordFailed;
      } else {
        jack_midi_data_t* space = jack_midi_event_reserve(buffer, 0, head.length);
        if (space == nullptr) break;  // this period is full: the next one takes it
        out_ring.Consume(head, space);
      }
      done_ring.Write(done, nullptr);
      reported = true;
    }
    if (reported) out_wake.Post();
  }

  void ProcessInput(jack_nframes_t frames) {
    jack_port_t* port = in_port.load(std::memory_order_acquire);
    if (port == nullptr || !in_enabled.load(std::memory_order_acquire)) return;
    void* buffer = jack_port_get_buffer(port, frames);
    const uint32_t tag = in_tag.load(std::memory_order_acquire);
    const uint32_t count = jack_midi_get_event_count(buffer);
    bool received = false;
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0) continue;
      RingRecord head{static_cast<uint32_t>(event.size), tag, 0};
      if (!in_ring.Write(head, event.buffer)) {
        head.length = 0;
        head.flags = kRecordOverflow;
        in_ring.Write(head, nullptr);
      }
      received = true;
    }
    if (received) in_wake.Post();
  }

  static int Process(jack_nframes_t frames, void* arg) {
    auto* session = static_cast<Session*>(arg);
    session->ProcessOutput(frames);
    session->ProcessInput(frames);
    session->cycles.fetch_add(1, std::memory_order_release);
    return 0;
  }

  static void Shutdown(jack_status_t, const char*, void* arg) {
    auto* session = static_cast<Session*>(arg);
    session->dead.store(true, std::memory_order_release);
    session->out_wake.Post();
    session->in_wake.Post();
  }
};

}  // namespace

// An open port, handed out as the layer's opaque PortHandle. Its dispatcher
// thread delivers every callback of the port.
struct JackPort {
  Dir dir = Dir::kOut;
  Session* session = nullptr;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<MIDIHDR*> queue;  // output: sends in flight; input: buffers queued
  uint32_t tag = 0;            // records of another tag are stale
  bool started = false;        // input only
  std::chrono::steady_clock::time_point start_time;
  uint64_t resets_asked = 0;
  uint64_t resets_done = 0;
  bool stop = false;
  bool closing = false;  // guarded by the layer's mutex

  std::thread thread;
  std::thread::id thread_id;

  void Deliver(uint32_t msg, uintptr_t param1, uintptr_t param2) {
    if (callback != nullptr)
      callback(reinterpret_cast<PortHandle>(this), msg, instance, param1, param2);
  }

  static void HandBack(MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  }

  // Output dispatcher: completions, resets, the server's end, the close.
  void RunOutput() {
    Deliver(MOM_OPEN, 0, 0);
    std::vector<MIDIHDR*> done;
    for (;;) {
      session->out_wake.Wait();
      done.clear();
      uint64_t resets = 0;
      bool stopping = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        RingRecord head;
        while (session->done_ring.Peek(&head)) {
          session->done_ring.Consume(head, nullptr);
          if (head.tag == tag && !queue.empty()) {
            done.push_back(queue.front());
            queue.pop_front();
          }
        }
        resets = resets_asked;
        stopping = stop;
        // Nothing will be written any more, or the send is abandoned: hand back.
        if (resets != resets_done || stopping || session->dead.load(std::memory_order_acquire)) {
          done.insert(done.end(), queue.begin(), queue.end());
          queue.clear();
        }
      }
      for (MIDIHDR* header : done) {
        HandBack(header);
        Deliver(MOM_DONE, reinterpret_cast<uintptr_t>(header), 0);
      }
      FinishResets(resets);
      if (stopping) {
        Deliver(MOM_CLOSE, 0, 0);
        return;
      }
    }
  }

  // Input dispatcher: received events, resets, the close.
  void RunInput() {
    Deliver(MIM_OPEN, 0, 0);
    std::vector<uint8_t> bytes(kEventRingBytes);
    std::vector<MIDIHDR*> returned;
    for (;;) {
      session->in_wake.Wait();
      RingRecord head;
      while (session->in_ring.Peek(&head)) {
        session->in_ring.Consume(head, bytes.data());
        DeliverEvent(head, bytes.data());
      }
      uint64_t resets = 0;
      bool stopping = false;
      returned.clear();
      {
        std::lock_guard<std::mutex> lock(mutex);
        resets = resets_asked;
        stopping = stop;
        if (resets != resets_done || stopping) {
          returned.assign(queue.begin(), queue.end());
          queue.clear();
        }
      }
      for (MIDIHDR* header : returned) {
        header->dwBytesRecorded = 0;
        HandBack(header);
        Deliver(MIM_LONGDATA, reinterpret_cast<uintptr_t>(header), 0);
      }
      FinishResets(resets);
      if (stopping) {
        Deliver(MIM_CLOSE, 0, 0);
        return;
      }
    }
  }

  void DeliverEvent(const RingRecord& head, const uint8_t* data) {
    std::unique_lock<std::mutex> lock(mutex);
    if (head.tag != tag || !started) return;
    const uint32_t stamp =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start_time)
                                  .count());
    const uint32_t length = head.length;
    const bool overflow = (head.flags & kRecordOverflow) != 0;
    const bool is_short = !overflow && length >= 1 && length <= 3 && data[0] != 0xF0;
    if (is_short) {
      lock.unlock();
      const uint8_t status = data[0];
      // A short message starts with a status byte other than the SysEx bytes.
      if (status < 0x80 || status == 0xF7) {
        Deliver(MIM_ERROR, 0, stamp);
        return;
      }
      uintptr_t packed = status;
      if (length > 1) packed |= uintptr_t{data[1]} << 8;
      if (length > 2) packed |= uintptr_t{data[2]} << 16;
      Deliver(MIM_DATA, packed, stamp);
      return;
    }
    if (queue.empty()) return;  // no buffer to put it in: lost, as on any driver
    MIDIHDR* header = queue.front();
    queue.pop_front();
    lock.unlock();
    const bool whole = !overflow && length >= 2 && data[0] == 0xF0 && data[length - 1] == 0xF7;
    const uint32_t copied = std::min(length, header->dwBufferLength);
    std::memcpy(header->lpData, data, copied);
    header->dwBytesRecorded = copied;
    HandBack(header);
    const bool fits = length <= header->dwBufferLength;
    Deliver(whole && fits ? MIM_LONGDATA : MIM_LONGERROR, reinterpret_cast<uintptr_t>(header),
            stamp);
  }

  void FinishResets(uint64_t resets) {
    std::lock_guard<std::mutex> lock(mutex);
    if (resets_done < resets) {
      resets_done = resets;
      changed.notify_all();
    }
  }
};

namespace {

class JackMidiLayer final : public MidiLayer {
 public:
  explicit JackMidiLayer(JackMidiOptions options) : options_(std::move(options)) {
    // No server is a normal case here; JACK's own complaints go nowhere.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
      jack_set_error_function(Quiet);
      jack_set_info_function(Quiet);
    });
  }

  ~JackMidiLayer() override {
    std::vector<JackPort*> open;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open.assign(ports_.begin(), ports_.end());
    }
    for (JackPort* port : open) Close(port->dir, port);
    session_.reset();
  }

  uint32_t OutGetNumDevs() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    return static_cast<uint32_t>(endpoints_.outputs.size());
  }
  uint32_t InGetNumDevs() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    return static_cast<uint32_t>(endpoints_.inputs.size());
  }
  MMRESULT OutGetDevCaps(uint32_t index, MidiCaps* caps) override {
    return GetCaps(Dir::kOut, index, caps);
  }
  MMRESULT InGetDevCaps(uint32_t index, MidiCaps* caps) override {
    return GetCaps(Dir::kIn, index, caps);
  }

  MMRESULT OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                   uintptr_t instance) override {
    return Open(Dir::kOut, port, index, callback, instance);
  }
  MMRESULT InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                  uintptr_t instance) override {
    return Open(Dir::kIn, port, index, callback, instance);
  }

  MMRESULT OutPrepareHeader(PortHandle port, MIDIHDR* header) override {
    return Prepare(Dir::kOut, Find(port), header);
  }
  MMRESULT InPrepareHeader(PortHandle port, MIDIHDR* header) override {
    return Prepare(Dir::kIn, Find(port), header);
  }
  MMRESULT OutUnprepareHeader(PortHandle port, MIDIHDR* header) override {
    return Unprepare(Dir::kOut, Find(port), header);
  }
  MMRESULT InUnprepareHeader(PortHandle port, MIDIHDR* header) override {
    return Unprepare(Dir::kIn, Find(port), header);
  }

  MMRESULT OutLongMsg(PortHandle handle, MIDIHDR* header) override {
    JackPort* port = Find(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, Dir::kOut)) return MMSYSERR_INVALHANDLE;
    if (MMRESULT result = CheckHeader(header); result != MMSYSERR_NOERROR) return result;
    Session& session = *port->session;
    if (session.dead.load(std::memory_order_acquire)) return MMSYSERR_NODRIVER;
    const uint32_t largest = session.max_event_size.load(std::memory_order_relaxed);
    const uint32_t length = header->dwBufferLength;
    if (length == 0 || length > kLargestSend || (largest != 0 && length > largest)) {
      return MMSYSERR_INVALPARAM;
    }
    {
      // Queued before the record is written, so that its completion finds it.
      std::lock_guard<std::mutex> port_lock(port->mutex);
      header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
      port->queue.push_back(header);
      if (!session.out_ring.Write(RingRecord{length, port->tag, 0}, header->lpData)) {
        port->queue.pop_back();
        header->dwFlags &= ~MHDR_INQUEUE;
        return MIDIERR_NOTREADY;
      }
    }
    session.out_wake.Post();  // re-checks a server that went away meanwhile
    return MMSYSERR_NOERROR;
  }

  MMRESULT OutReset(PortHandle port) override { return Reset(Dir::kOut, Find(port)); }
  MMRESULT InReset(PortHandle port) override { return Reset(Dir::kIn, Find(port)); }
  MMRESULT OutClose(PortHandle port) override { return Close(Dir::kOut, Find(port)); }
  MMRESULT InClose(PortHandle port) override { return Close(Dir::kIn, Find(port)); }

  MMRESULT InAddBuffer(PortHandle handle, MIDIHDR* header) override {
    JackPort* port = Find(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, Dir::kIn)) return MMSYSERR_INVALHANDLE;
    if (MMRESULT result = CheckHeader(header); result != MMSYSERR_NOERROR) return result;
    if (header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> port_lock(port->mutex);
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    port->queue.push_back(header);
    return MMSYSERR_NOERROR;
  }

  MMRESULT InStart(PortHandle handle) override {
    JackPort* port = Find(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, Dir::kIn)) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> port_lock(port->mutex);
    if (!port->started) {
      port->started = true;
      port->start_time = std::chrono::steady_clock::now();
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT InStop(PortHandle handle) override {
    JackPort* port = Find(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, Dir::kIn)) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> port_lock(port->mutex);
    StopInput(*port);
    return MMSYSERR_NOERROR;
  }

 private:
  // Only compared with the open ports before it is used.
  static JackPort* Find(PortHandle handle) { return reinterpret_cast<JackPort*>(handle); }

  bool Valid(JackPort* port, Dir dir) const {
    return port != nullptr && ports_.count(port) != 0 && port->dir == dir && !port->closing;
  }

  static MMRESULT CheckHeader(MIDIHDR* header) {
    if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
    if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    return MMSYSERR_NOERROR;
  }

  // Events received before now are no longer wanted.
  static void StopInput(JackPort& port) {
    port.started = false;
    port.tag = port.session->in_tag.fetch_add(1, std::memory_order_acq_rel) + 1;
  }

  MMRESULT Prepare(Dir dir, JackPort* port, MIDIHDR* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, dir)) return MMSYSERR_INVALHANDLE;
    if (header == nullptr) return MMSYSERR_INVALPARAM;
    if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Unprepare(Dir dir, JackPort* port, MIDIHDR* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, dir)) return MMSYSERR_INVALHANDLE;
    if (header == nullptr) return MMSYSERR_INVALPARAM;
    if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetCaps(Dir dir, uint32_t index, MidiCaps* caps) {
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enumerated_) Refresh();
    const auto& list = dir == Dir::kOut ? endpoints_.outputs : endpoints_.inputs;
    if (index >= list.size()) return MMSYSERR_BADDEVICEID;
    *caps = list[index].caps;
    return MMSYSERR_NOERROR;
  }

  // A live client, opened on first need and again after the server went away
  // once no port of the old one is open. Null when no server runs.
  Session* EnsureSession() {
    if (session_ && session_->dead.load(std::memory_order_acquire) && ports_.empty()) {
      session_.reset();
    }
    if (session_) return session_->dead.load(std::memory_order_acquire) ? nullptr : session_.get();
    auto session = std::make_unique<Session>();
    if (!session->out_ring.ok() || !session->done_ring.ok() || !session->in_ring.ok()) {
      return nullptr;
    }
    jack_status_t status{};
    const auto options = static_cast<jack_options_t>(
        JackNoStartServer | (options_.server_name.empty() ? 0 : JackServerName));
    session->client = options_.server_name.empty()
                          ? jack_client_open(options_.client_name.c_str(), options, &status)
                          : jack_client_open(options_.client_name.c_str(), options, &status,
                                             options_.server_name.c_str());
    if (session->client == nullptr) return nullptr;
    jack_set_process_callback(session->client, Session::Process, session.get());
    jack_on_info_shutdown(session->client, Session::Shutdown, session.get());
    session_ = std::move(session);
    return session_.get();
  }

  void Refresh() {
    enumerated_ = true;
    endpoints_ = {};
    Session* session = EnsureSession();
    if (session == nullptr) return;
    const char** names = jack_get_ports(session->client, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
    if (names == nullptr) return;
    std::vector<JackPortInfo> infos;
    for (const char** name = names; *name != nullptr; ++name) {
      jack_port_t* port = jack_port_by_name(session->client, *name);
      if (port == nullptr || jack_port_is_mine(session->client, port)) continue;
      const int flags = jack_port_flags(port);
      if ((flags & (JackPortIsInput | JackPortIsOutput)) == 0) continue;
      const std::string full = *name;
      const std::string short_name = jack_port_short_name(port);
      if (full.size() <= short_name.size()) continue;
      infos.push_back(JackPortInfo{full.substr(0, full.size() - short_name.size() - 1), short_name,
                                   (flags & JackPortIsInput) != 0});
    }
    jack_free(names);
    endpoints_ = NameJackPorts(infos);
  }

  MMRESULT Open(Dir dir, PortHandle* handle, uint32_t index, MidiCallback callback,
                uintptr_t instance) {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    JackPort* port = nullptr;
    std::string target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (JackPort* open : ports_) {
        if (open->dir == dir) return MMSYSERR_ALLOCATED;  // our client has one port a direction
      }
      if (!enumerated_) Refresh();
      const auto& list = dir == Dir::kOut ? endpoints_.outputs : endpoints_.inputs;
      if (index >= list.size()) return MMSYSERR_BADDEVICEID;
      Session* session = EnsureSession();
      if (session == nullptr) return MMSYSERR_NODRIVER;
      target = list[index].jack_name;
      if (jack_port_by_name(session->client, target.c_str()) == nullptr) {
        return MMSYSERR_BADDEVICEID;  // gone since it was listed
      }
      auto& our_port = dir == Dir::kOut ? session->out_port : session->in_port;
      if (our_port.load() == nullptr) {
        jack_port_t* registered = jack_port_register(
            session->client, dir == Dir::kOut ? "out" : "in", JACK_DEFAULT_MIDI_TYPE,
            dir == Dir::kOut ? JackPortIsOutput : JackPortIsInput, 0);
        if (registered == nullptr) return MMSYSERR_ERROR;
        our_port.store(registered, std::memory_order_release);
      }
      if (!session->active) {
        if (jack_activate(session->client) != 0) return MMSYSERR_ERROR;
        session->active = true;
      }
      const char* ours = jack_port_name(our_port.load());
      const int connected = dir == Dir::kOut ? jack_connect(session->client, ours, target.c_str())
                                             : jack_connect(session->client, target.c_str(), ours);
      if (connected != 0 && connected != EEXIST) return MMSYSERR_ERROR;

      port = new JackPort;
      port->dir = dir;
      port->session = session;
      port->callback = callback;
      port->instance = instance;
      if (dir == Dir::kOut) {
        port->tag = session->out_tag.fetch_add(1, std::memory_order_acq_rel) + 1;
        session->out_enabled.store(true, std::memory_order_release);
      } else {
        port->tag = session->in_tag.fetch_add(1, std::memory_order_acq_rel) + 1;
        session->in_enabled.store(true, std::memory_order_release);
      }
      ports_.insert(port);
      port->thread = std::thread([port] {
        if (port->dir == Dir::kOut) {
          port->RunOutput();
        } else {
          port->RunInput();
        }
      });
      port->thread_id = port->thread.get_id();
    }
    WaitConnected(*port->session, dir, target);
    *handle = reinterpret_cast<PortHandle>(port);
    return MMSYSERR_NOERROR;
  }

  // jack_connect returns before the server's graph carries the connection: an
  // event written in a period before that is lost. So wait until the graph
  // shows it and two of our periods have passed, which also makes the size of
  // an empty output buffer known before the first send.
  static void WaitConnected(Session& session, Dir dir, const std::string& target) {
    const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    auto in_time = [&] {
      if (session.dead.load(std::memory_order_acquire)) return false;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return true;
    };
    jack_port_t* ours = (dir == Dir::kOut ? session.out_port : session.in_port).load();
    while (!jack_port_connected_to(ours, target.c_str())) {
      if (!in_time()) return;
    }
    const uint64_t seen = session.cycles.load(std::memory_order_acquire);
    while (session.cycles.load(std::memory_order_acquire) < seen + 2) {
      if (!in_time()) return;
    }
  }

  MMRESULT Reset(Dir dir, JackPort* port) {
    uint64_t asked = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!Valid(port, dir)) return MMSYSERR_INVALHANDLE;
      std::lock_guard<std::mutex> port_lock(port->mutex);
      if (dir == Dir::kOut) {
        port->tag = port->session->out_tag.fetch_add(1, std::memory_order_acq_rel) + 1;
      } else {
        StopInput(*port);
      }
      asked = ++port->resets_asked;
    }
    (dir == Dir::kOut ? port->session->out_wake : port->session->in_wake).Post();
    if (std::this_thread::get_id() == port->thread_id) {
      return MMSYSERR_NOERROR;  // from a callback: handed back once it returns
    }
    std::unique_lock<std::mutex> port_lock(port->mutex);
    port->changed.wait(port_lock, [&] { return port->resets_done >= asked; });
    return MMSYSERR_NOERROR;
  }

  MMRESULT Close(Dir dir, JackPort* port) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!Valid(port, dir)) return MMSYSERR_INVALHANDLE;
      if (std::this_thread::get_id() == port->thread_id) return MMSYSERR_ERROR;
      port->closing = true;
    }
    {
      std::lock_guard<std::mutex> port_lock(port->mutex);
      port->stop = true;
    }
    Session& session = *port->session;
    (dir == Dir::kOut ? session.out_wake : session.in_wake).Post();
    port->thread.join();  // its last callback has returned

    std::lock_guard<std::mutex> lock(mutex_);
    auto& enabled = dir == Dir::kOut ? session.out_enabled : session.in_enabled;
    enabled.store(false, std::memory_order_release);
    if (!session.dead.load(std::memory_order_acquire)) {
      jack_port_t* ours = (dir == Dir::kOut ? session.out_port : session.in_port).load();
      if (ours != nullptr) jack_port_disconnect(session.client, ours);
    }
    ports_.erase(port);
    delete port;
    return MMSYSERR_NOERROR;
  }

  JackMidiOptions options_;
  std::mutex mutex_;  // everything below; never held while a callback runs
  std::unique_ptr<Session> session_;
  bool enumerated_ = false;
  JackEndpoints endpoints_;
  std::set<JackPort*> ports_;
};

}  // namespace

std::unique_ptr<MidiLayer> CreateJackMidiLayer() { return CreateJackMidiLayer(JackMidiOptions{}); }

std::unique_ptr<MidiLayer> CreateJackMidiLayer(const JackMidiOptions& options) {
  return std::make_unique<JackMidiLayer>(options);
}

}  // namespace tamblet::midi
