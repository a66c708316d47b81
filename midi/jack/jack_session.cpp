#include "midi/jack/jack_session.h"

#include <jack/midiport.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace tamblet::midi::jack {

bool Semaphore::WaitFor(int ms) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_clockwait(&sem_, CLOCK_MONOTONIC, &until) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void Session::ProcessOutput(jack_nframes_t frames) {
  jack_port_t* port = out_port.load(std::memory_order_acquire);
  if (port == nullptr) return;
  void* buffer = jack_port_get_buffer(port, frames);
  TakePortBuffer(buffer);
  jack_midi_clear_buffer(buffer);
  const size_t largest = jack_midi_max_event_size(buffer);
  max_event_size.store(static_cast<uint32_t>(largest), std::memory_order_relaxed);
  const bool enabled = out_enabled.load(std::memory_order_acquire);
  bool reported = false;
  RingRecord head;
  while (out_ring.Peek(&head)) {
    // The tag is read after the record: one written with a new tag is never
    // judged by the tag before it.
    if (!enabled || head.tag != out_tag.load(std::memory_order_acquire)) {
      out_ring.Consume(head, nullptr);  // abandoned by a reset or a close
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

void Session::ProcessInput(jack_nframes_t frames) {
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

int Session::Process(jack_nframes_t frames, void* arg) {
  auto* session = static_cast<Session*>(arg);
  session->ProcessOutput(frames);
  session->ProcessInput(frames);
  session->cycles.fetch_add(1, std::memory_order_release);
  return 0;
}

void Session::Shutdown(jack_status_t, const char*, void* arg) {
  static_cast<Session*>(arg)->MarkDead();
}

void Session::PortRegistered(jack_port_id_t, int, void* arg) {
  static_cast<Session*>(arg)->ports_changed.store(true, std::memory_order_release);
}

void Session::MarkDead() {
  dead.store(true, std::memory_order_release);
  out_wake.Post();
  in_wake.Post();
}

namespace {

std::mutex abandoned_mutex;
// Never freed while libjack may call into them: see AbandonSession.
auto* abandoned = new std::vector<std::unique_ptr<Session>>;

// Takes out the sessions whose stuck call has returned; abandoned_mutex held.
std::vector<std::unique_ptr<Session>> TakeReturned() {
  std::vector<std::unique_ptr<Session>> returned;
  for (auto it = abandoned->begin(); it != abandoned->end();) {
    if ((*it)->calls.stuck()) {
      ++it;
    } else {
      returned.push_back(std::move(*it));
      it = abandoned->erase(it);
    }
  }
  return returned;
}

}  // namespace

void AbandonSession(std::unique_ptr<Session> session) {
  session->MarkDead();
  std::lock_guard<std::mutex> lock(abandoned_mutex);
  abandoned->push_back(std::move(session));
}

bool ServerHangs(const std::string& server) {
  std::vector<std::unique_ptr<Session>> returned;
  bool hangs = false;
  {
    std::lock_guard<std::mutex> lock(abandoned_mutex);
    returned = TakeReturned();
    for (const auto& session : *abandoned) hangs = hangs || session->server == server;
  }
  // Their server answered at last: close them as any other, or abandon them again.
  for (auto& session : returned) {
    session->calls.Resume();
    RetireSession(std::move(session));
  }
  return hangs;
}

size_t AbandonedSessions() {
  std::lock_guard<std::mutex> lock(abandoned_mutex);
  return abandoned->size();
}

std::unique_ptr<Session> OpenSession(const std::string& server, const std::string& option,
                                     const std::string& name) {
  if (ServerHangs(server)) return nullptr;
  auto session = std::make_unique<Session>();
  if (!session->ok()) return nullptr;
  session->server = server;
  auto muting = std::make_shared<Muting>();
  Session* raw = session.get();
  const bool answered = session->calls.Run(
      [muting, name, option, raw] {
        jack_status_t status{};
        const auto options =
            static_cast<jack_options_t>(JackNoStartServer | (option.empty() ? 0 : JackServerName));
        jack_client_t* client =
            option.empty() ? jack_client_open(name.c_str(), options, &status)
                           : jack_client_open(name.c_str(), options, &status, option.c_str());
        muting->End();
        if (client != nullptr) {
          jack_set_process_callback(client, Session::Process, raw);
          jack_on_info_shutdown(client, Session::Shutdown, raw);
        }
        raw->client = client;
      },
      kServerWait);
  muting->End();
  if (!answered) {
    AbandonSession(std::move(session));
    return nullptr;
  }
  if (session->client == nullptr) return nullptr;
  return session;
}

void RetireSession(std::unique_ptr<Session> session) {
  if (!session) return;
  Session* raw = session.get();
  // The client is forgotten once closed: a close given up on that returns
  // later leaves nothing to close when the session is taken back.
  if (raw->client != nullptr && !raw->calls.Run(
                                    [raw] {
                                      jack_client_close(raw->client);
                                      raw->client = nullptr;
                                    },
                                    kServerWait)) {
    AbandonSession(std::move(session));
  }
}

std::vector<JackPortInfo> ListPorts(Session& session) {
  std::vector<JackPortInfo> infos;
  jack_client_t* client = session.client;
  const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
  if (names == nullptr) return infos;
  for (const char** name = names; *name != nullptr; ++name) {
    jack_port_t* port = jack_port_by_name(client, *name);
    if (port == nullptr || jack_port_is_mine(client, port)) continue;
    const int flags = jack_port_flags(port);
    if ((flags & (JackPortIsInput | JackPortIsOutput)) == 0) continue;
    const std::string full = *name;
    const std::string short_name = jack_port_short_name(port);
    if (full.size() <= short_name.size()) continue;
    infos.push_back(JackPortInfo{full.substr(0, full.size() - short_name.size() - 1), short_name,
                                 (flags & JackPortIsInput) != 0});
  }
  jack_free(names);
  return infos;
}

namespace {

// How long an open waits for the server to put a new connection into effect.
constexpr auto kConnectWait = std::chrono::seconds(2);

// jack_connect returns before the server's graph carries the connection: an
// event written in a period before that is lost. So wait until the graph
// shows it and two of our periods have passed, which also makes the size of
// an empty output buffer known before the first send.
void WaitConnected(Session& session, jack_port_t* ours, const std::string& target) {
  const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
  auto in_time = [&] {
    if (session.dead.load(std::memory_order_acquire)) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  };
  while (!jack_port_connected_to(ours, target.c_str())) {
    if (!in_time()) return;
  }
  const uint64_t seen = session.cycles.load(std::memory_order_acquire);
  while (session.cycles.load(std::memory_order_acquire) < seen + 2) {
    if (!in_time()) return;
  }
}

}  // namespace

MMRESULT ConnectPort(Session& session, PortDirection direction, const std::string& target) {
  const bool output = direction == PortDirection::kOutput;
  if (jack_port_by_name(session.client, target.c_str()) == nullptr) {
    return MMSYSERR_BADDEVICEID;  // gone since it was listed
  }
  auto& our_port = output ? session.out_port : session.in_port;
  if (our_port.load() == nullptr) {
    jack_port_t* registered =
        jack_port_register(session.client, output ? "out" : "in", JACK_DEFAULT_MIDI_TYPE,
                           output ? JackPortIsOutput : JackPortIsInput, 0);
    if (registered == nullptr) return MMSYSERR_ERROR;
    our_port.store(registered, std::memory_order_release);
  }
  if (!session.active) {
    if (jack_activate(session.client) != 0) return MMSYSERR_ERROR;
    session.active = true;
  }
  const char* ours = jack_port_name(our_port.load());
  const int connected = output ? jack_connect(session.client, ours, target.c_str())
                               : jack_connect(session.client, target.c_str(), ours);
  if (connected != 0 && connected != EEXIST) return MMSYSERR_ERROR;
  WaitConnected(session, our_port.load(), target);
  return MMSYSERR_NOERROR;
}

}  // namespace tamblet::midi::jack
