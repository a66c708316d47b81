#include "sim/devsim/jack_device_host.h"

#include <jack/midiport.h>

#include <cerrno>
#include <ctime>

#include "midi/jack/jack_ring.h"

namespace tamblet::sim {
namespace {

using midi::RingRecord;

constexpr size_t kRequestBytes = 1 << 16;

void Quiet(const char*) {}

}  // namespace

JackDeviceHost::JackDeviceHost(Device& device, RequestLog log, ServerGone server_gone)
    : device_(device), log_(std::move(log)), server_gone_(server_gone) {
  sem_init(&wake_, 0, 0);
}

JackDeviceHost::~JackDeviceHost() {
  Stop();
  sem_destroy(&wake_);
}

bool JackDeviceHost::Start(const std::string& client_name, const std::string& server_name,
                           std::string* error) {
  if (!requests_.ok() || !replies_.ok()) {
    *error = "out of memory";
    return false;
  }
  // The program says what went wrong in its own words; the library's lines only add noise.
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  int options = JackNoStartServer | JackUseExactName;
  if (!server_name.empty()) options |= JackServerName;
  jack_status_t status{};
  client_ =
      server_name.empty()
          ? jack_client_open(client_name.c_str(), static_cast<jack_options_t>(options), &status)
          : jack_client_open(client_name.c_str(), static_cast<jack_options_t>(options), &status,
                             server_name.c_str());
  if (client_ == nullptr) {
    *error = (status & JackNameNotUnique) != 0  ? "the client name \"" + client_name + "\" is taken"
             : (status & JackServerFailed) != 0 ? "no JACK server is running"
                                                : "cannot open a JACK client";
    return false;
  }
  in_port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  out_port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_set_process_callback(client_, Process, this);
  jack_on_info_shutdown(client_, Shutdown, this);
  if (in_port_ == nullptr || out_port_ == nullptr || jack_activate(client_) != 0) {
    *error = "cannot set up the JACK ports";
    jack_client_close(client_);
    client_ = nullptr;
    return false;
  }
  worker_ = std::thread([this] { Work(); });
  return true;
}

void JackDeviceHost::Stop() {
  stop_.store(true);
  sem_post(&wake_);
  if (worker_.joinable()) worker_.join();
  if (client_ != nullptr) {
    jack_client_close(client_);
    client_ = nullptr;
  }
}

int JackDeviceHost::Process(jack_nframes_t frames, void* arg) {
  auto* host = static_cast<JackDeviceHost*>(arg);
  void* in = jack_port_get_buffer(host->in_port_, frames);
  midi::TakePortBuffer(in);
  const uint32_t count = jack_midi_get_event_count(in);
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, in, i) != 0) continue;
    if (!host->requests_.Write(RingRecord{static_cast<uint32_t>(event.size), 0, 0}, event.buffer)) {
      host->dropped_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  midi::HandOnPortBuffer(in);
  if (count != 0) sem_post(&host->wake_);

  void* out = jack_port_get_buffer(host->out_port_, frames);
  midi::TakePortBuffer(out);
  jack_midi_clear_buffer(out);
  const size_t largest = jack_midi_max_event_size(out);
  RingRecord head;
  while (host->replies_.Peek(&head)) {
    if (head.length > largest) {
      host->replies_.Consume(head, nullptr);
      host->dropped_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    jack_midi_data_t* space = jack_midi_event_reserve(out, 0, head.length);
    if (space == nullptr) break;  // the next period takes it
    host->replies_.Consume(head, space);
  }
  midi::HandOnPortBuffer(out);
  return 0;
}

void JackDeviceHost::Shutdown(jack_status_t, const char*, void* arg) {
  auto* host = static_cast<JackDeviceHost*>(arg);
  if (host->server_gone_ != nullptr) host->server_gone_();
}

bool JackDeviceHost::SleepUntil(std::chrono::steady_clock::time_point when) {
  while (!stop_.load()) {
    const auto left = when - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    // Wake-ups for new requests end the wait early; the requests wait in the ring.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    until.tv_sec += static_cast<time_t>(ns / 1000000000);
    until.tv_nsec += static_cast<long>(ns % 1000000000);
    if (until.tv_nsec >= 1000000000) {
      until.tv_nsec -= 1000000000;
      ++until.tv_sec;
    }
    sem_clockwait(&wake_, CLOCK_MONOTONIC, &until);
  }
  return false;
}

void JackDeviceHost::SendReply(const Reply& reply) {
  std::vector<uint8_t> bytes = reply.bytes;
  // JACK carries whole events; a broken SysEx is one that lacks its end byte.
  if (reply.kind == Reply::Kind::kLongError && !bytes.empty() && bytes.back() == 0xF7) {
    bytes.pop_back();
  }
  if (bytes.empty()) return;
  if (!replies_.Write(RingRecord{static_cast<uint32_t>(bytes.size()), 0, 0}, bytes.data())) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
}

void JackDeviceHost::Work() {
  std::vector<uint8_t> request(kRequestBytes);
  while (!stop_.load()) {
    RingRecord head;
    if (!requests_.Peek(&head)) {
      while (sem_wait(&wake_) != 0 && errno == EINTR) {
      }
      continue;
    }
    const auto arrived = std::chrono::steady_clock::now();
    requests_.Consume(head, request.data());
    const std::span<const uint8_t> bytes(request.data(), head.length);
    const std::vector<Reply> replies = device_.OnRequest(bytes);
    if (log_) log_(bytes, replies);
    for (const Reply& reply : replies) {
      if (!SleepUntil(arrived + std::chrono::milliseconds(reply.delay_ms))) return;
      SendReply(reply);
    }
  }
}

}  // namespace tamblet::sim
