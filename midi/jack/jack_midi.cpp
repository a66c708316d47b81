#include "midi/jack/jack_midi.h"

#include <jack/jack.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "midi/jack/jack_port_names.h"
#include "midi/jack/jack_session.h"
#include "midi/jack/jack_stream.h"
#include "midi/stream/stream_midi_layer.h"

namespace tamblet::midi {
namespace {

using jack::Session;

void Quiet(const char*) {}

// No server is a normal case here; JACK's own complaints go nowhere.
void SilenceJack() {
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

std::string ServerName(const JackMidiOptions& options) {
  if (!options.server_name.empty()) return options.server_name;
  const char* fallback = std::getenv("JACK_DEFAULT_SERVER");
  return fallback != nullptr && fallback[0] != '\0' ? fallback : "default";
}

// What a layer's ports share: our client, opened at the first need and again
// after the server went away once no port of the old one is open. Our client
// has one port a direction.
class JackClient : public std::enable_shared_from_this<JackClient> {
 public:
  explicit JackClient(JackMidiOptions options)
      : options_(std::move(options)), server_(ServerName(options_)) {}
  ~JackClient() { jack::RetireSession(std::move(session_)); }
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  void List(std::vector<stream::StreamPort>* outputs, std::vector<stream::StreamPort>* inputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    Session* session = EnsureSession();
    if (session == nullptr) return;
    auto infos = std::make_shared<std::vector<JackPortInfo>>();
    auto realtime = std::make_shared<bool>(true);
    if (!session->calls.Run(
            [infos, realtime, session] {
              *infos = jack::ListPorts(*session);
              *realtime = jack_is_realtime(session->client) != 0;
            },
            jack::kServerWait)) {
      session->MarkDead();
      return;
    }
    // Without real-time scheduling a busy machine makes the server miss
    // cycles, and each missed cycle may lose a reply: the user is told.
    const std::optional<std::string> slow =
        *realtime ? std::nullopt : std::optional<std::string>("JACK server \"" + server_ + "\"");
    const JackEndpoints endpoints = NameJackPorts(*infos);
    for (const PortDirection direction : kPortDirections) {
      const bool output = direction == PortDirection::kOutput;
      for (const JackEndpoint& endpoint : output ? endpoints.outputs : endpoints.inputs) {
        (output ? outputs : inputs)
            ->push_back({endpoint.caps,
                         [self = shared_from_this(), direction, target = endpoint.jack_name](
                             std::unique_ptr<stream::ByteStream>* stream) {
                           return self->Open(direction, target, stream);
                         },
                         {},
                         "jack " + server_ + " " + endpoint.jack_name,
                         slow});
      }
    }
  }

 private:
  MMRESULT Open(PortDirection direction, const std::string& target,
                std::unique_ptr<stream::ByteStream>* stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool& open = open_[static_cast<size_t>(direction)];
    if (open) return MMSYSERR_ALLOCATED;
    Session* session = EnsureSession();
    if (session == nullptr) return MMSYSERR_NODRIVER;
    auto result = std::make_shared<MMRESULT>(MMSYSERR_ERROR);
    if (!session->calls.Run([result, session, direction,
                             target] { *result = jack::ConnectPort(*session, direction, target); },
                            jack::kServerWait + std::chrono::seconds(2))) {
      session->MarkDead();
      return MMSYSERR_NODRIVER;
    }
    if (*result != MMSYSERR_NOERROR) return *result;
    open = true;
    auto closed = [self = shared_from_this(), direction] { self->Closed(direction); };
    *stream = direction == PortDirection::kOutput ? jack::MakeOutputStream(*session, closed)
                                                  : jack::MakeInputStream(*session, closed);
    return MMSYSERR_NOERROR;
  }

  void Closed(PortDirection direction) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_[static_cast<size_t>(direction)] = false;
    Session& session = *session_;
    jack_port_t* ours =
        (direction == PortDirection::kOutput ? session.out_port : session.in_port).load();
    if (ours == nullptr || session.dead.load(std::memory_order_acquire)) return;
    jack_client_t* client = session.client;
    if (!session.calls.Run([client, ours] { jack_port_disconnect(client, ours); },
                           jack::kServerWait)) {
      session.MarkDead();
    }
  }

  // Null when no server runs, or while one does not answer.
  Session* EnsureSession() {
    if (session_ && session_->dead.load(std::memory_order_acquire) && !open_[0] && !open_[1]) {
      jack::RetireSession(std::move(session_));
    }
    if (!session_)
      session_ = jack::OpenSession(server_, options_.server_name, options_.client_name);
    if (!session_ || session_->dead.load(std::memory_order_acquire)) return nullptr;
    return session_.get();
  }

  const JackMidiOptions options_;
  const std::string server_;  // the server's name, for the device locks and the hung servers
  std::mutex mutex_;          // everything below
  std::unique_ptr<Session> session_;
  bool open_[2] = {false, false};  // by PortDirection
};

class JackPortWatch final : public PortWatch {
 public:
  explicit JackPortWatch(JackMidiOptions options)
      : options_(std::move(options)), server_(ServerName(options_)) {}
  ~JackPortWatch() override { jack::RetireSession(std::move(session_)); }

  bool Changed() override {
    bool changed = false;
    if (session_ && session_->dead.load(std::memory_order_acquire)) {
      jack::RetireSession(std::move(session_));
      changed = true;  // the server's ports went with it
    }
    const auto now = std::chrono::steady_clock::now();
    if (!session_ && now >= next_try_) {
      // No server answers at once; one that hangs is not asked again for a while.
      next_try_ = now + kRetry;
      session_ = Open();
      if (session_ && !first_) changed = true;  // a server came, with its ports
      first_ = false;
    }
    if (session_ && session_->ports_changed.exchange(false, std::memory_order_acq_rel))
      changed = true;
    return changed;
  }

 private:
  static constexpr auto kRetry = std::chrono::seconds(2);

  std::unique_ptr<Session> Open() {
    std::unique_ptr<Session> session =
        jack::OpenSession(server_, options_.server_name, options_.client_name);
    if (!session) return nullptr;
    Session* raw = session.get();
    auto active = std::make_shared<bool>(false);
    const bool answered = raw->calls.Run(
        [raw, active] {
          // No process callback: a client without one takes no part in the
          // server's cycles, so watching costs the other clients nothing.
          jack_set_process_callback(raw->client, nullptr, nullptr);
          jack_set_port_registration_callback(raw->client, Session::PortRegistered, raw);
          *active = jack_activate(raw->client) == 0;
          raw->active = *active;
        },
        jack::kServerWait);
    if (!answered || !*active) {
      jack::RetireSession(std::move(session));
      return nullptr;
    }
    return session;
  }

  const JackMidiOptions options_;
  const std::string server_;
  std::unique_ptr<Session> session_;
  std::chrono::steady_clock::time_point next_try_{};
  bool first_ = true;
};

}  // namespace

std::unique_ptr<PortWatch> CreateJackPortWatch(const JackMidiOptions& options) {
  SilenceJack();
  return std::make_unique<JackPortWatch>(options);
}

std::unique_ptr<MidiLayer> CreateJackMidiLayer() { return CreateJackMidiLayer(JackMidiOptions{}); }

std::unique_ptr<MidiLayer> CreateJackMidiLayer(const JackMidiOptions& options) {
  SilenceJack();
  auto client = std::make_shared<JackClient>(options);
  // The lists are taken once, at the first question, and kept: an index that
  // discovery found names the same port until the layer ends.
  return std::make_unique<stream::StreamMidiLayer>(
      [client](std::vector<stream::StreamPort>* outputs, std::vector<stream::StreamPort>* inputs) {
        client->List(outputs, inputs);
      });
}

bool JackServerRuns(const JackMidiOptions& options) {
  SilenceJack();
  std::unique_ptr<jack::Session> session =
      jack::OpenSession(ServerName(options), options.server_name, options.client_name);
  const bool runs = session != nullptr;
  jack::RetireSession(std::move(session));
  return runs;
}

}  // namespace tamblet::midi
