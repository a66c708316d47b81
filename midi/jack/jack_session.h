#pragma once
// One JACK client of ours with its two MIDI ports, and the real-time side: the
// process callback, which reads only atomics and the rings, and moves whole
// events between the ports and the rings.

#include <jack/jack.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/device_identity.h"
#include "midi/jack/jack_port_names.h"
#include "midi/jack/jack_ring.h"
#include "midi/jack/jack_server_calls.h"
#include "midi/midi_layer.h"

namespace tamblet::midi::jack {

inline constexpr size_t kEventRingBytes = 1 << 16;  // a few of the largest events
inline constexpr size_t kLargestSend = kEventRingBytes / 2;

// Semaphores are the one wake-up the process callback may give: sem_post
// neither blocks nor allocates.
class Semaphore {
 public:
  Semaphore() { sem_init(&sem_, 0, 0); }
  ~Semaphore() { sem_destroy(&sem_); }
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  void Post() { sem_post(&sem_); }
  // False when `ms` passed with no post.
  bool WaitFor(int ms);

 private:
  sem_t sem_;
};

struct Session {
  ServerCalls calls;                // first: destroyed last, once nothing can call into it
  std::string server;               // the server's name, as the abandoned sessions know it
  jack_client_t* client = nullptr;  // written on `calls`' helper, read once that call answered
  std::atomic<jack_port_t*> out_port{nullptr};
  std::atomic<jack_port_t*> in_port{nullptr};
  EventRing out_ring{kEventRingBytes};  // sends, one record each
  EventRing done_ring{1 << 12};         // one record per send written (or failed)
  EventRing in_ring{kEventRingBytes};   // received events
  Semaphore out_wake;
  Semaphore in_wake;
  std::atomic<bool> dead{false};
  bool active = false;  // touched only by calls on `calls`
  std::atomic<bool> out_enabled{false};
  std::atomic<bool> in_enabled{false};
  std::atomic<uint32_t> out_tag{0};         // only records of this tag are sent
  std::atomic<uint32_t> in_tag{0};          // received events are recorded with it
  std::atomic<uint32_t> max_event_size{0};  // of an empty output buffer; 0 until known
  std::atomic<uint64_t> cycles{0};          // process calls so far
  std::atomic<bool> ports_changed{false};   // a port registered or unregistered

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ok() const { return out_ring.ok() && done_ring.ok() && in_ring.ok(); }
  void MarkDead();
  static int Process(jack_nframes_t frames, void* arg);
  static void Shutdown(jack_status_t, const char*, void* arg);
  static void PortRegistered(jack_port_id_t, int, void* arg);

 private:
  void ProcessOutput(jack_nframes_t frames);
  void ProcessInput(jack_nframes_t frames);
};

// A new client named `name` on the server named `server` (`option`, the name
// passed to libjack, is empty for its default), never starting a server. Null
// when none runs, or when a call to it is stuck.
std::unique_ptr<Session> OpenSession(const std::string& server, const std::string& option,
                                     const std::string& name);

// On the session's helper thread only (they wait on the server):
// Every other client's MIDI port.
std::vector<JackPortInfo> ListPorts(Session& session);
// Our port of that direction, made and connected to `target`, the connection
// in effect; MMSYSERR_BADDEVICEID when `target` is gone.
MMRESULT ConnectPort(Session& session, PortDirection direction, const std::string& target);

// Closes the client, after which no callback runs, and frees the session; or
// abandons it when the server does not answer.
void RetireSession(std::unique_ptr<Session> session);

// Abandoned sessions, which libjack may still call into: a server counts as
// hung while a call to it is stuck, and no client of this process is opened
// to it meanwhile. A session whose stuck call has returned is closed and
// freed at the next open.
void AbandonSession(std::unique_ptr<Session> session);
bool ServerHangs(const std::string& server);
size_t AbandonedSessions();

}  // namespace tamblet::midi::jack
