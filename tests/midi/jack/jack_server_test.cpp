// The JACK backend on a server of its own (dummy backend, through the test
// fixtures' script) with the simulated device as a JACK client in this
// process. A hang fails on the test's ctest time-out.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "midi/jack/jack_midi.h"
#include "midi/jack/jack_session.h"
#include "midi/sysex_port.h"
#include "midi/system/composite_midi_layer.h"
#include "protocol/device_commands.h"
#include "sim/devsim/jack_device_host.h"
#include "tests/support/recording_window.h"

namespace tamblet::test {
namespace {

using namespace std::chrono_literals;
using namespace midi;

constexpr char kDevice[] = "QELMAR D";  // the device's client
std::atomic<bool> device_saw_server_go{false};

// A server of its own: the shared one must outlive this test.
struct PrivateServer {
  PrivateServer() {
    started = Run("start") == 0;
    pid_t timeout = 0;  // the state file names the `timeout` that runs the server
    std::ifstream(TAMBLET_JACK_STATE) >> name >> timeout;
    const std::string task = std::to_string(timeout);
    std::ifstream("/proc/" + task + "/task/" + task + "/children") >> pid;
  }
  ~PrivateServer() {
    Signal(SIGCONT);
    Stop();
  }
  void Signal(int signal) const {
    if (started && pid > 0) kill(pid, signal);
  }
  int Run(const std::string& command) {
    return std::system(
        ("'" TAMBLET_JACK_SCRIPT "' " + command + " '" TAMBLET_JACK_STATE "' >&2").c_str());
  }
  void Stop() {
    if (started) Run("stop");
    started = false;
  }
  bool started = false;
  std::string name;
  pid_t pid = 0;
};

std::optional<uint32_t> Find(MidiLayer& layer, const std::string& name, bool output) {
  MidiCaps caps;
  for (uint32_t i = 0; i < (output ? layer.OutGetNumDevs() : layer.InGetNumDevs()); ++i) {
    if ((output ? layer.OutGetDevCaps(i, &caps) : layer.InGetDevCaps(i, &caps)) == 0 &&
        std::string(caps.szPname, strnlen(caps.szPname, 32)) == name)
      return i;
  }
  return std::nullopt;
}

// Where `layer` lists the device's pair: output, input.
std::optional<std::pair<uint32_t, uint32_t>> DevicePair(MidiLayer& layer) {
  const auto out = Find(layer, kDevice + std::string(" OUT 1"), true);
  const auto in = Find(layer, kDevice + std::string(" IN 1"), false);
  if (!out || !in) return std::nullopt;
  return std::pair{*out, *in};
}

// The model name the device behind `port` gives; "" when the exchange fails.
std::string AskName(CSysExPort& port) {
  RecordingWindow display;
  char model[kModelNameSize] = {};
  if (DeviceCommands(port, display).GetModelName(model) != 0) return "";
  return std::string(model, strnlen(model, sizeof model));
}

// Real waits shortened twentyfold: a reply over JACK takes a few periods, far
// below a twentieth of the built-in time-out, while a missing one fails soon.
class ScaledWaits : public WaitPolicy {
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return cv.wait_for(lock, 1ms * ms / 20, ready);
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(1ms * ms / 20); }
};

// What an input port delivers in its buffers.
using Event = std::pair<uint32_t, std::vector<uint8_t>>;
struct Recorder {
  static void Callback(PortHandle, uint32_t msg, uintptr_t self, uintptr_t param1, uintptr_t) {
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR) return;
    const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
    Event event{msg, {header->lpData, header->lpData + header->dwBytesRecorded}};
    auto& recorder = *reinterpret_cast<Recorder*>(self);
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.events.push_back(std::move(event));
    recorder.changed.notify_all();
  }
  // Listens on `layer`'s input `index` with four buffers of 4096 bytes.
  bool Listen(MidiLayer& layer, std::optional<uint32_t> index) {
    if (!index || layer.InOpen(&handle, *index, &Callback, uintptr_t(this)) != 0) return false;
    for (int i = 0; i < 4; ++i) {
      headers[i] = {buffers[i], sizeof buffers[i]};
      layer.InPrepareHeader(handle, &headers[i]);
      if (layer.InAddBuffer(handle, &headers[i]) != 0) return false;
    }
    return layer.InStart(handle) == 0;
  }
  std::vector<Event> Events(size_t at_least = 0) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, 5s, [&] { return events.size() >= at_least; });
    return events;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> events;
  PortHandle handle = nullptr;
  uint8_t buffers[4][4096];
  MIDIHDR headers[4];
};

// A private server; the device joins it as a JACK client on StartDevice.
class JackBackend : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.started); }
  testing::AssertionResult StartDevice() {
    std::string error;
    if (host.Start(kDevice, server.name, &error)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << error;
  }
  // Starts the device and opens `port`, over a `layer` that JACK knows as
  // `client`, to it; the device answers. `pair` is where it is listed.
  void OpenDevice(const char* client) {
    ASSERT_TRUE(StartDevice());
    layer = CreateJackMidiLayer({server.name, client});
    port = std::make_unique<CSysExPort>(*layer, waits);
    const auto listed = DevicePair(*layer);
    ASSERT_TRUE(listed) << "device ports not listed";
    pair = *listed;
    ASSERT_TRUE(port->Open(pair.first, pair.second));
    ASSERT_EQ(AskName(*port), "SIMULATED");
  }
  PrivateServer server;
  sim::Device device{sim::DeviceConfig{}};
  sim::JackDeviceHost host{device, nullptr, [] { device_saw_server_go = true; }};
  ScaledWaits waits;
  std::unique_ptr<MidiLayer> layer;
  std::unique_ptr<CSysExPort> port;  // goes before its layer
  std::pair<uint32_t, uint32_t> pair;
};

// The device's pair carries an exchange, and each event whole: a second layer
// listens to what the first sends, judged against its buffers (how a message
// that fits or a short one is delivered is the engine's test). Once the server
// goes away exchanges fail and nothing hangs.
TEST_F(JackBackend, EventsArriveWholeAndAServerGoneFailsTheExchange) {
  ASSERT_NO_FATAL_FAILURE(OpenDevice("TambletA"));
  Recorder received;  // outlives the listener
  auto listener = CreateJackMidiLayer({server.name, "TambletB"});
  ASSERT_TRUE(received.Listen(*listener, Find(*listener, "TambletA:out", false)));
  auto sysex = [](size_t length, uint8_t last = 0xF7) {
    std::vector<uint8_t> bytes(length);
    std::generate(bytes.begin(), bytes.end(), [n = 0]() mutable { return n++ % 0x80; });
    bytes.front() = 0xF0;
    bytes.back() = last;
    return bytes;
  };
  // The first is longer than a buffer and than the largest request.
  std::vector<std::vector<uint8_t>> sent = {sysex(5000), sysex(100, 0)};
  for (size_t i = 0; i < sent.size(); ++i) {
    port->Send(sent[i].data(), static_cast<uint32_t>(sent[i].size()), {});
    ASSERT_EQ(received.Events(i + 1).size(), i + 1);
  }
  const std::vector<Event> expected = {
      {MIM_LONGERROR, std::vector<uint8_t>(sent[0].begin(), sent[0].begin() + 4096)},
      {MIM_LONGERROR, sent[1]},  // unterminated
  };
  EXPECT_EQ(received.Events(), expected);
  EXPECT_EQ(listener->InClose(received.handle), 0u);
  // Clients closed before the server goes and the search after it: libjack
  // breaks a process's dead clients when an open fails.
  listener.reset();

  server.Stop();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(AskName(*port), "");
  EXPECT_TRUE(device_saw_server_go);  // the device noticed too
  host.Stop();
  port->Close();
  EXPECT_FALSE(port->Open(pair.first, pair.second));
}

size_t Threads() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// A server that stops in the middle of a run: the exchange fails, the pair
// closes, and its layer's client, whose close gets no answer, is given up on
// but keeps its threads. Layers made and dropped while the server is stopped
// list no JACK port and add no client and no thread (a call given up on still
// holds libjack's lock on opening clients); once the server answers again a
// new layer reaches it and the given-up client is closed.
TEST_F(JackBackend, AServerThatStopsInARunLetsTheRunEndAndAddsNoClient) {
  ASSERT_NO_FATAL_FAILURE(OpenDevice("TambletH"));
  server.Signal(SIGSTOP);  // no ASSERT until SIGCONT: the device's client closes on a live server
  EXPECT_EQ(AskName(*port), "");  // a call that waits on it for good fails on the time-out
  port->Close();
  EXPECT_FALSE(port->Open(pair.first, pair.second));
  port.reset();  // before its layer goes
  layer.reset();
  EXPECT_EQ(jack::AbandonedSessions(), 1u);
  const size_t threads = Threads();
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(CreateJackMidiLayer({server.name, "TambletR"})->OutGetNumDevs(), 0u);
  }
  EXPECT_EQ(jack::AbandonedSessions(), 1u);
  EXPECT_EQ(Threads(), threads);
  server.Signal(SIGCONT);
  uint32_t listed = 0;
  for (int i = 0; i < 100 && listed == 0; ++i) {
    std::this_thread::sleep_for(50ms);
    listed = CreateJackMidiLayer({server.name, "TambletR"})->OutGetNumDevs();
  }
  EXPECT_GT(listed, 0u);
  EXPECT_EQ(jack::AbandonedSessions(), 0u);
}

// Load opens the ports discovery listed, or none: a client that leaves (here
// one listed before the device) shifts nothing, and once the device is gone
// they open nothing. A second program's open of the device fails while the
// first holds it.
TEST_F(JackBackend, OpensTheListedPortsOnlyAndOnlyOnce) {
  jack_status_t status{};
  jack_client_t* leaving = jack_client_open(
      "leaving", JackOptions(JackNoStartServer | JackServerName), &status, server.name.c_str());
  ASSERT_TRUE(leaving);
  ASSERT_TRUE(jack_port_register(leaving, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0));
  ASSERT_EQ(jack_activate(leaving), 0);
  ASSERT_TRUE(StartDevice());

  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(CreateJackMidiLayer({server.name, "TambletL"}));
  CompositeMidiLayer system(std::move(layers));
  const auto listed = DevicePair(system);
  ASSERT_TRUE(listed && listed->first == 1) << "listed: leaving, then the device";
  jack_client_close(leaving);
  // Were the index looked up again, it would name no port, or another's: no reply.
  CSysExPort port(system, waits);
  ASSERT_TRUE(port.Open(listed->first, listed->second));
  EXPECT_EQ(AskName(port), "SIMULATED");

  auto second = CreateJackMidiLayer({server.name, "TambletM"});
  CSysExPort other(*second, waits);
  const auto listed2 = DevicePair(*second);
  ASSERT_TRUE(listed2);
  EXPECT_FALSE(other.Open(listed2->first, listed2->second));
  port.Close();
  EXPECT_TRUE(other.Open(listed2->first, listed2->second));
  other.Close();
  host.Stop();  // gone, while the server runs on: its listed ports open no other
  EXPECT_FALSE(other.Open(listed2->first, listed2->second));
}

}  // namespace
}  // namespace tamblet::test
