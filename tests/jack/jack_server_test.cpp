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
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "midi/jack/jack_midi.h"
#include "midi/sysex_port.h"
#include "midi/system/composite_midi_layer.h"
#include "protocol/device_commands.h"
#include "protocol/frame.h"
#include "sim/devsim/jack_device_host.h"
#include "sim/simulated_midi.h"

namespace tamblet::test {
namespace {

using namespace std::chrono_literals;
using namespace midi;

std::atomic<bool> device_saw_server_go{false};

// A server of its own: the shared one must outlive this test.
struct PrivateServer {
  PrivateServer() {
    started = Run("start") == 0;
    pid_t timeout = 0;  // the state file names the `timeout` that runs the server
    std::ifstream(TAMBLET_JACK_STATE) >> name >> timeout;
    const std::string children =
        "/proc/" + std::to_string(timeout) + "/task/" + std::to_string(timeout) + "/children";
    std::ifstream(children) >> pid;
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

// Lets a server stopped by a test go on after a while, so that a call that
// hangs on it fails the test instead of hanging it; `fired` tells.
struct Resumer {
  explicit Resumer(const PrivateServer& server)
      : done(std::async(std::launch::async, [&server, this] {
          if (stop.get_future().wait_for(20s) == std::future_status::timeout) {
            fired = true;
            server.Signal(SIGCONT);
          }
        })) {}
  ~Resumer() { Finish(); }
  bool Finish() {  // true when the server was never resumed by this
    if (!finished) stop.set_value();
    finished = true;
    done.wait();
    return !fired;
  }
  std::promise<void> stop;
  std::atomic<bool> fired{false};
  bool finished = false;
  std::future<void> done;
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

// The model name the device behind `port` gives; "" when the exchange fails.
std::string AskName(CSysExPort& port) {
  struct : Display {
    void SetStatusText(const char*) override {}
    void SendProgressMessage(uint32_t, uint32_t, uint32_t) override {}
  } display;
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

// What an input port delivers: each buffer's bytes, a short message's four.
using Event = std::pair<uint32_t, std::vector<uint8_t>>;
struct Recorder {
  static void Callback(PortHandle, uint32_t msg, uintptr_t self, uintptr_t param1, uintptr_t) {
    if (msg == MIM_OPEN || msg == MIM_CLOSE) return;
    Event event{
        msg, {uint8_t(param1), uint8_t(param1 >> 8), uint8_t(param1 >> 16), uint8_t(param1 >> 24)}};
    if (msg != MIM_DATA) {
      const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
      event.second.assign(header->lpData, header->lpData + header->dwBytesRecorded);
    }
    auto& recorder = *reinterpret_cast<Recorder*>(self);
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.events.push_back(std::move(event));
    recorder.changed.notify_all();
  }
  std::vector<Event> Wait(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, 5s, [&] { return events.size() >= count; });
    return events;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> events;
};

// The device's pair carries an exchange, and each event whole: a second layer
// listens to what the first sends, judged against its buffers. Once the server
// goes away exchanges fail and nothing hangs.
TEST(JackBackend, EventsArriveWholeAndAServerGoneFailsTheExchange) {
  PrivateServer server;
  ASSERT_TRUE(server.started);
  const std::string name = server.name;
  const std::string pid = std::to_string(getpid());
  const std::string device_client = "QELMAR D" + pid, sender = "TambletA" + pid;
  sim::Device device{sim::DeviceConfig{}};
  sim::JackDeviceHost host(device, nullptr, [] { device_saw_server_go = true; });
  std::string error;
  ASSERT_TRUE(host.Start(device_client, name, &error)) << error;
  auto layer = CreateJackMidiLayer({name, sender});
  const auto out = Find(*layer, device_client + " OUT 1", true);
  const auto in = Find(*layer, device_client + " IN 1", false);
  ASSERT_TRUE(out && in) << "device ports not listed";
  ScaledWaits waits;
  CSysExPort port(*layer, waits);
  ASSERT_TRUE(port.Open(*out, *in));
  ASSERT_EQ(AskName(port), "SIMULATED");

  Recorder received;  // these outlive the listener
  uint8_t buffers[4][4096];
  MIDIHDR headers[4];
  auto listener = CreateJackMidiLayer({name, "TambletB" + pid});
  const auto from_sender = Find(*listener, sender + ":out", false);
  PortHandle listening = nullptr;
  ASSERT_TRUE(from_sender && listener->InOpen(&listening, *from_sender, &Recorder::Callback,
                                              uintptr_t(&received)) == 0);
  for (int i = 0; i < 4; ++i) {
    headers[i].lpData = buffers[i];
    headers[i].dwBufferLength = 4096;
    listener->InPrepareHeader(listening, &headers[i]);
    ASSERT_EQ(listener->InAddBuffer(listening, &headers[i]), 0u);
  }
  ASSERT_EQ(listener->InStart(listening), 0u);
  auto sysex = [](size_t length, uint8_t last = 0xF7) {
    std::vector<uint8_t> bytes(length);
    std::generate(bytes.begin(), bytes.end(), [n = 0]() mutable { return n++ % 0x80; });
    bytes.front() = 0xF0;
    bytes.back() = last;
    return bytes;
  };
  std::vector<std::vector<uint8_t>> sent = {
      sysex(kMaxWriteDataFrame), sysex(5000), sysex(100, 0), {0x90, 0x40, 0x7F}, sysex(4096)};
  for (size_t i = 0; i < sent.size(); ++i) {
    port.Send(sent[i].data(), static_cast<uint32_t>(sent[i].size()), {});
    ASSERT_EQ(received.Wait(i + 1).size(), i + 1);
  }
  const std::vector<Event> expected = {
      {MIM_LONGDATA, sent[0]},
      {MIM_LONGERROR, std::vector<uint8_t>(sent[1].begin(), sent[1].begin() + 4096)},
      {MIM_LONGERROR, sent[2]},  // unterminated
      {MIM_DATA, {0x90, 0x40, 0x7F, 0}},
      {MIM_LONGDATA, sent[4]},  // exactly the buffer's size
  };
  EXPECT_EQ(received.Wait(5), expected);
  EXPECT_EQ(listener->InClose(listening), 0u);
  // Clients closed before the server goes and the search after it: libjack
  // breaks a process's dead clients when an open fails.
  listener.reset();

  server.Stop();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(AskName(port), "");
  EXPECT_TRUE(device_saw_server_go);  // the device noticed too
  host.Stop();
  port.Close();
  EXPECT_FALSE(port.Open(*out, *in));
}

// A server that stops in the middle of a run: the exchange fails, the pair
// closes and its layer goes, and the next start-up, with the server still
// stopped, lists the other layers' ports without JACK's (while a call given up
// on still holds libjack's lock on opening clients).
TEST(JackBackend, AServerThatStopsInARunLetsTheRunEnd) {
  PrivateServer server;
  ASSERT_TRUE(server.started);
  const std::string device_client = "QELMAR H" + std::to_string(getpid());
  sim::Device device{sim::DeviceConfig{}};
  sim::JackDeviceHost host(device, nullptr, nullptr);
  std::string error;
  ASSERT_TRUE(host.Start(device_client, server.name, &error)) << error;
  auto layer = CreateJackMidiLayer({server.name, "TambletH"});
  const auto out = Find(*layer, device_client + " OUT 1", true);
  const auto in = Find(*layer, device_client + " IN 1", false);
  ASSERT_TRUE(out && in) << "device ports not listed";
  ScaledWaits waits;
  CSysExPort port(*layer, waits);
  ASSERT_TRUE(port.Open(*out, *in));
  ASSERT_EQ(AskName(port), "SIMULATED");
  server.Signal(SIGSTOP);
  {
    Resumer resumer(server);
    EXPECT_EQ(AskName(port), "");
    port.Close();
    EXPECT_FALSE(port.Open(*out, *in));
    port.Close();  // before its layer goes, should the open not have failed
    layer.reset();

    std::vector<std::unique_ptr<MidiLayer>> layers;
    auto other = std::make_unique<SimulatedMidi>();
    other->AddOutPort(MakeCaps(37, 4, "QELMAR A OUT 1"));
    layers.push_back(std::move(other));
    layers.push_back(CreateJackMidiLayer({server.name, "TambletS"}));
    CompositeMidiLayer system(std::move(layers));
    EXPECT_EQ(system.OutGetNumDevs(), 1u);
    EXPECT_TRUE(resumer.Finish()) << "the run ended only once the server went on";
  }
  server.Signal(SIGCONT);
  host.Stop();
}

// Load opens the ports discovery listed, or none: a client that leaves (here
// one listed before the device) shifts nothing, and a third client whose port
// would take the device's place gets no byte; once the device is gone they
// open nothing. A second program's open of the device fails while the first
// holds it.
TEST(JackBackend, OpensTheListedPortsOnlyAndOnlyOnce) {
  PrivateServer server;
  ASSERT_TRUE(server.started);
  const std::string pid = std::to_string(getpid());
  const std::string device_client = "QELMAR L" + pid;
  // Plain clients: `leaving` has a port listed before the device's, `feeder`
  // one for the third client to listen to, whose port comes after the device's.
  auto client = [&](const std::string& client_name, const char* port, JackPortFlags flags) {
    jack_status_t status{};
    jack_client_t* opened = jack_client_open((client_name + pid).c_str(),
                                             JackOptions(JackNoStartServer | JackServerName),
                                             &status, server.name.c_str());
    if (opened != nullptr && (!jack_port_register(opened, port, JACK_DEFAULT_MIDI_TYPE, flags, 0) ||
                              jack_activate(opened) != 0)) {
      jack_client_close(opened);
      opened = nullptr;
    }
    return opened;
  };
  jack_client_t* leaving = client("leaving", "in", JackPortIsInput);
  ASSERT_TRUE(leaving);
  sim::Device device{sim::DeviceConfig{}};
  sim::JackDeviceHost host(device, nullptr, nullptr);
  std::string error;
  ASSERT_TRUE(host.Start(device_client, server.name, &error)) << error;
  jack_client_t* feeder = client("feeder", "out", JackPortIsOutput);
  ASSERT_TRUE(feeder);
  auto third = CreateJackMidiLayer({server.name, "third" + pid});
  const auto fed = Find(*third, "feeder" + pid + ":out", false);
  Recorder received;
  uint8_t buffer[4096];
  MIDIHDR header{buffer, sizeof buffer, 0, 0, 0};
  PortHandle listening = nullptr;
  ASSERT_TRUE(fed &&
              third->InOpen(&listening, *fed, &Recorder::Callback, uintptr_t(&received)) == 0);
  third->InPrepareHeader(listening, &header);
  ASSERT_EQ(third->InAddBuffer(listening, &header) | third->InStart(listening), 0u);
  jack_client_close(feeder);  // its never-written buffer would spoil what the third port gets

  std::vector<std::unique_ptr<MidiLayer>> layers;
  layers.push_back(CreateJackMidiLayer({server.name, "TambletL"}));
  CompositeMidiLayer system(std::move(layers));
  const auto out = Find(system, device_client + " OUT 1", true);
  const auto in = Find(system, device_client + " IN 1", false);
  ASSERT_TRUE(out && in && *out == 1) << "listed: leaving, the device, the third";
  jack_client_close(leaving);

  ScaledWaits waits;
  CSysExPort port(system, waits);
  ASSERT_TRUE(port.Open(*out, *in));
  EXPECT_EQ(AskName(port), "SIMULATED");
  {
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_TRUE(received.events.empty()) << "the third client got a request";
  }

  auto second = CreateJackMidiLayer({server.name, "TambletM"});
  CSysExPort other(*second, waits);
  const auto out2 = Find(*second, device_client + " OUT 1", true);
  const auto in2 = Find(*second, device_client + " IN 1", false);
  ASSERT_TRUE(out2 && in2);
  EXPECT_FALSE(other.Open(*out2, *in2));
  port.Close();
  EXPECT_TRUE(other.Open(*out2, *in2));
  other.Close();
  host.Stop();  // gone, while the server runs on: its listed ports open no other
  EXPECT_FALSE(other.Open(*out2, *in2));
  EXPECT_EQ(third->InClose(listening), 0u);
}

}  // namespace
}  // namespace tamblet::test
