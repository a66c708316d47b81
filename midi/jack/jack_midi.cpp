#include "midi/jack/jack_midi.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "midi/device_lock.h"
#include "midi/jack/jack_port_names.h"
#include "midi/jack/jack_ring.h"
#include "midi/midi_header.h"

namespace tamblet::midi {
namespace {

constexpr size_t kEventRingBytes = 1 << 16;  // a few of the largest events
constexpr size_t kDoneRingBytes = 1 << 12;
constexpr size_t kLargestSend = kEventRingBytes / 2;
// How long an open waits for the server to put a new connection into effect.
constexpr auto kConnectWait = std::chrono::seconds(2);
// How long a call that waits on the server may take before the server is taken
// for hung. A live one answers in milliseconds even on a loaded machine.
constexpr auto kServerWait = std::chrono::seconds(3);

enum class Dir { kOut, kIn };

void Quiet(const char*) {}

// libjack's metadata store prints its complaints (a missing or read-only
// /dev/shm database, say) straight to standard error, past
// jack_set_error_function. So standard error points at /dev/null while a client
// opens. Each Muting unmutes once, whichever of the open and its waiter ends first.
class Muting {
 public:
  Muting() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (depth_++ == 0) {
      saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
      const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
      if (null >= 0) {
        dup2(null, 2);
        close(null);
      }
    }
  }
  ~Muting() { End(); }
  Muting(const Muting&) = delete;
  Muting& operator=(const Muting&) = delete;
  void End() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    if (--depth_ == 0 && saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }

 private:
  static inline std::mutex mutex_;
  static inline int depth_ = 0;
  static inline int saved_ = -1;
  bool ended_ = false;  // guarded by mutex_
};

// Every call into libjack that may wait on the server runs on this helper
// thread, and its caller waits only so long. A stopped or wedged server then
// costs the caller kServerWait, not its life: the helper stays stuck in
// libjack, is given up, and nothing is asked of it again.
class ServerCalls {
 public:
  ServerCalls() : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_] { Serve(*state); });
  }
  ~ServerCalls() {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->stop = true;
    }
    state_->changed.notify_all();
    if (given_up()) {
      thread_.detach();  // it ends once libjack lets it go, if ever
    } else {
      thread_.join();
    }
  }
  ServerCalls(const ServerCalls&) = delete;
  ServerCalls& operator=(const ServerCalls&) = delete;

  // False when `call` did not return within `limit`, or the helper was given
  // up before. `call` must own what it touches: it may finish after this returns.
  bool Run(std::function<void()> call, std::chrono::steady_clock::duration limit) {
    std::lock_guard<std::mutex> one_at_a_time(run_mutex_);
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->given_up) return false;
    state_->call = std::move(call);
    const uint64_t ticket = ++state_->posted;
    state_->changed.notify_all();
    if (state_->changed.wait_for(lock, limit, [&] { return state_->finished >= ticket; })) {
      return true;
    }
    state_->given_up = true;
    return false;
  }

  bool given_up() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->given_up;
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> call;
    uint64_t posted = 0;
    uint64_t finished = 0;
    bool stop = false;
    bool given_up = false;
  };

  static void Serve(State& state) {
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
      state.changed.wait(lock, [&] { return state.stop || state.posted > state.finished; });
      if (state.posted == state.finished) return;
      std::function<void()> call = std::move(state.call);
      lock.unlock();
      call();
      call = nullptr;
      lock.lock();
      state.finished = state.posted;
      state.changed.notify_all();
    }
  }

  std::mutex run_mutex_;  // one call in flight: each waits for its own
  std::shared_ptr<State> state_;
  std::thread thread_;
};

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
  ServerCalls calls;                // first: destroyed last, once nothing can call into it
  jack_client_t* client = nullptr;  // closed by RetireSession
  std::atomic<jack_port_t*> out_port{nullptr};
  std::atomic<jack_port_t*> in_port{nullptr};
  EventRing out_ring{kEventRingBytes};  // sends, written by OutLongMsg
  EventRing done_ring{kDoneRingBytes};  // one record per send written (or failed)
  EventRing in_ring{kEventRingBytes};   // received events
  Semaphore out_wake;
  Semaphore in_wake;
  std::atomic<bool> dead{false};
  bool active = false;  // touched only by calls on `calls`
  std::atomic<bool> out_enabled{false};
  std::atomic<bool> in_enabled{false};
  std::atomic<uint32_t> out_tag{0};
  std::atomic<uint32_t> in_tag{0};
  std::atomic<uint32_t> max_event_size{0};  // of an empty output buffer; 0 until known
  std::atomic<uint64_t> cycles{0};          // process calls so far

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void ProcessOutput(jack_nframes_t frames) {
    jack_port_t* port = out_port.load(std::memory_order_acquire);
    if (port == nullptr) return;
    void* buffer = jack_port_get_buffer(port, frames);
    TakePortBuffer(buffer);
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
    HandOnPortBuffer(buffer);
    if (reported) out_wake.Post();
  }

  void ProcessInput(jack_nframes_t frames) {
    jack_port_t* port = in_port.load(std::memory_order_acquire);
    if (port == nullptr || !in_enabled.load(std::memory_order_acquire)) return;
    void* buffer = jack_port_get_buffer(port, frames);
    TakePortBuffer(buffer);
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
    HandOnPortBuffer(buffer);
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
    static_cast<Session*>(arg)->MarkDead();
  }

  void MarkDead() {
    dead.store(true, std::memory_order_release);
    out_wake.Post();
    in_wake.Post();
  }
};

// Sessions whose server stopped answering. libjack may still call into them
// (or finish a call it was stuck in) at any time, so they are never freed.
void Abandon(std::unique_ptr<Session> session) {
  static std::mutex mutex;
  static auto* abandoned = new std::vector<std::unique_ptr<Session>>;  // never freed: see above
  session->MarkDead();
  std::lock_guard<std::mutex> lock(mutex);
  abandoned->push_back(std::move(session));
}

// Closes the client, after which no callback runs, and frees the session; or
// abandons it when the server does not answer.
void RetireSession(std::unique_ptr<Session> session) {
  if (!session) return;
  jack_client_t* client = session->client;
  if (client != nullptr &&
      !session->calls.Run([client] { jack_client_close(client); }, kServerWait)) {
    Abandon(std::move(session));
  }
}

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
  DeviceLock lock;       // the port we connect to, ours while open

  std::thread thread;
  std::thread::id thread_id;

  void Deliver(uint32_t msg, uintptr_t param1, uintptr_t param2) {
    if (callback != nullptr)
      callback(reinterpret_cast<PortHandle>(this), msg, instance, param1, param2);
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
        MarkDone(header);
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
        MarkDone(header);
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
    const bool whole = !overflow && IsWholeSysEx({data, length});
    const uint32_t copied = std::min(length, header->dwBufferLength);
    std::memcpy(header->lpData, data, copied);
    header->dwBytesRecorded = copied;
    MarkDone(header);
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
    const char* fallback = std::getenv("JACK_DEFAULT_SERVER");
    server_ = !options_.server_name.empty()                ? options_.server_name
              : fallback != nullptr && fallback[0] != '\0' ? fallback
                                                           : "default";
  }

  ~JackMidiLayer() override {
    std::vector<JackPort*> open;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open.assign(ports_.begin(), ports_.end());
    }
    for (JackPort* port : open) Close(port->dir, port);
    RetireSession(std::move(session_));
  }

  // The lists are taken once, at the first question, and kept: an index that
  // discovery found names the same port until the layer ends.
  uint32_t OutGetNumDevs() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Enumerate();
    return static_cast<uint32_t>(endpoints_.outputs.size());
  }
  uint32_t InGetNumDevs() override {
    std::lock_guard<std::mutex> lock(mutex_);
    Enumerate();
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
    if (MMRESULT result = CheckQueueable(header); result != MMSYSERR_NOERROR) return result;
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
      MarkQueued(header);
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

  // A JACK port takes any number of connections: only another Tamblet's device
  // lock refuses one, and the lock does not name its holder.
  std::optional<PortHolder> OutGetHolder(uint32_t /*index*/) override { return std::nullopt; }
  std::optional<PortHolder> InGetHolder(uint32_t /*index*/) override { return std::nullopt; }

  MMRESULT OutReset(PortHandle port) override { return Reset(Dir::kOut, Find(port)); }
  MMRESULT InReset(PortHandle port) override { return Reset(Dir::kIn, Find(port)); }
  MMRESULT OutClose(PortHandle port) override { return Close(Dir::kOut, Find(port)); }
  MMRESULT InClose(PortHandle port) override { return Close(Dir::kIn, Find(port)); }

  MMRESULT InAddBuffer(PortHandle handle, MIDIHDR* header) override {
    JackPort* port = Find(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, Dir::kIn)) return MMSYSERR_INVALHANDLE;
    if (MMRESULT result = CheckQueueable(header); result != MMSYSERR_NOERROR) return result;
    if (header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> port_lock(port->mutex);
    header->dwBytesRecorded = 0;
    MarkQueued(header);
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

  // Events received before now are no longer wanted.
  static void StopInput(JackPort& port) {
    port.started = false;
    port.tag = port.session->in_tag.fetch_add(1, std::memory_order_acq_rel) + 1;
  }

  MMRESULT Prepare(Dir dir, JackPort* port, MIDIHDR* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, dir)) return MMSYSERR_INVALHANDLE;
    return PrepareHeader(header);
  }

  MMRESULT Unprepare(Dir dir, JackPort* port, MIDIHDR* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Valid(port, dir)) return MMSYSERR_INVALHANDLE;
    return UnprepareHeader(header);
  }

  MMRESULT GetCaps(Dir dir, uint32_t index, MidiCaps* caps) {
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(mutex_);
    Enumerate();
    const auto& list = dir == Dir::kOut ? endpoints_.outputs : endpoints_.inputs;
    if (index >= list.size()) return MMSYSERR_BADDEVICEID;
    *caps = list[index].caps;
    return MMSYSERR_NOERROR;
  }

  // A live client, opened on first need and again after the server went away
  // once no port of the old one is open. Null when no server runs, and for
  // good once one has stopped answering.
  Session* EnsureSession() {
    if (session_ && session_->dead.load(std::memory_order_acquire) && ports_.empty()) {
      if (session_->calls.given_up()) server_hung_ = true;
      RetireSession(std::move(session_));
    }
    if (session_) return session_->dead.load(std::memory_order_acquire) ? nullptr : session_.get();
    if (server_hung_) return nullptr;
    auto session = std::make_unique<Session>();
    if (!session->out_ring.ok() || !session->done_ring.ok() || !session->in_ring.ok()) {
      return nullptr;
    }
    auto opened = std::make_shared<jack_client_t*>(nullptr);
    auto muting = std::make_shared<Muting>();
    const std::string name = options_.client_name;
    const std::string server = options_.server_name;
    Session* raw = session.get();
    const bool answered = session->calls.Run(
        [opened, muting, name, server, raw] {
          jack_status_t status{};
          const auto options = static_cast<jack_options_t>(JackNoStartServer |
                                                           (server.empty() ? 0 : JackServerName));
          jack_client_t* client =
              server.empty() ? jack_client_open(name.c_str(), options, &status)
                             : jack_client_open(name.c_str(), options, &status, server.c_str());
          muting->End();
          if (client != nullptr) {
            jack_set_process_callback(client, Session::Process, raw);
            jack_on_info_shutdown(client, Session::Shutdown, raw);
          }
          *opened = client;
        },
        kServerWait);
    muting->End();
    if (!answered) {
      server_hung_ = true;
      Abandon(std::move(session));
      return nullptr;
    }
    session->client = *opened;
    if (session->client == nullptr) return nullptr;
    session_ = std::move(session);
    return session_.get();
  }

  void Enumerate() {
    if (enumerated_) return;
    enumerated_ = true;
    Session* session = EnsureSession();
    if (session == nullptr) return;
    auto infos = std::make_shared<std::vector<JackPortInfo>>();
    jack_client_t* client = session->client;
    const bool answered = session->calls.Run(
        [infos, client] {
          const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
          if (names == nullptr) return;
          for (const char** name = names; *name != nullptr; ++name) {
            jack_port_t* port = jack_port_by_name(client, *name);
            if (port == nullptr || jack_port_is_mine(client, port)) continue;
            const int flags = jack_port_flags(port);
            if ((flags & (JackPortIsInput | JackPortIsOutput)) == 0) continue;
            const std::string full = *name;
            const std::string short_name = jack_port_short_name(port);
            if (full.size() <= short_name.size()) continue;
            infos->push_back(JackPortInfo{full.substr(0, full.size() - short_name.size() - 1),
                                          short_name, (flags & JackPortIsInput) != 0});
          }
          jack_free(names);
        },
        kServerWait);
    if (!answered) {
      session->MarkDead();
      return;
    }
    endpoints_ = NameJackPorts(*infos);
  }

  MMRESULT Open(Dir dir, PortHandle* handle, uint32_t index, MidiCallback callback,
                uintptr_t instance) {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(mutex_);
    for (JackPort* open : ports_) {
      if (open->dir == dir) return MMSYSERR_ALLOCATED;  // our client has one port a direction
    }
    Enumerate();
    const auto& list = dir == Dir::kOut ? endpoints_.outputs : endpoints_.inputs;
    if (index >= list.size()) return MMSYSERR_BADDEVICEID;
    const std::string target = list[index].jack_name;
    DeviceLock device_lock;
    if (const MMRESULT locked = LockResult(device_lock.Take("jack " + server_ + " " + target)))
      return locked;
    Session* session = EnsureSession();
    if (session == nullptr) return MMSYSERR_NODRIVER;

    auto result = std::make_shared<MMRESULT>(MMSYSERR_ERROR);
    const bool answered = session->calls.Run(
        [result, session, dir, target] { *result = Connect(*session, dir, target); },
        kServerWait + kConnectWait);
    if (!answered) {
      session->MarkDead();
      return MMSYSERR_NODRIVER;
    }
    if (*result != MMSYSERR_NOERROR) return *result;

    auto* port = new JackPort;
    port->dir = dir;
    port->session = session;
    port->callback = callback;
    port->instance = instance;
    port->lock = std::move(device_lock);
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
    *handle = reinterpret_cast<PortHandle>(port);
    return MMSYSERR_NOERROR;
  }

  // On the session's helper thread: our port of that direction, made and
  // connected to `target`, the connection in effect.
  static MMRESULT Connect(Session& session, Dir dir, const std::string& target) {
    if (jack_port_by_name(session.client, target.c_str()) == nullptr) {
      return MMSYSERR_BADDEVICEID;  // gone since it was listed
    }
    auto& our_port = dir == Dir::kOut ? session.out_port : session.in_port;
    if (our_port.load() == nullptr) {
      jack_port_t* registered = jack_port_register(
          session.client, dir == Dir::kOut ? "out" : "in", JACK_DEFAULT_MIDI_TYPE,
          dir == Dir::kOut ? JackPortIsOutput : JackPortIsInput, 0);
      if (registered == nullptr) return MMSYSERR_ERROR;
      our_port.store(registered, std::memory_order_release);
    }
    if (!session.active) {
      if (jack_activate(session.client) != 0) return MMSYSERR_ERROR;
      session.active = true;
    }
    const char* ours = jack_port_name(our_port.load());
    const int connected = dir == Dir::kOut ? jack_connect(session.client, ours, target.c_str())
                                           : jack_connect(session.client, target.c_str(), ours);
    if (connected != 0 && connected != EEXIST) return MMSYSERR_ERROR;
    WaitConnected(session, dir, target);
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
    jack_port_t* ours = (dir == Dir::kOut ? session.out_port : session.in_port).load();
    if (ours != nullptr && !session.dead.load(std::memory_order_acquire)) {
      jack_client_t* client = session.client;
      if (!session.calls.Run([client, ours] { jack_port_disconnect(client, ours); }, kServerWait)) {
        session.MarkDead();
      }
    }
    ports_.erase(port);
    delete port;
    return MMSYSERR_NOERROR;
  }

  JackMidiOptions options_;
  std::string server_;  // the server's name, for the device locks
  std::mutex mutex_;    // everything below; never held while a callback runs
  std::unique_ptr<Session> session_;
  bool server_hung_ = false;  // a call once got no answer: the server is not asked again
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
