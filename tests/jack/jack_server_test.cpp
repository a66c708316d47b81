// The JACK backend against a real server (dummy backend) and tamblet-devsim.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "midi/jack/jack_midi.h"
#include "midi/sysex_port.h"
#include "protocol/device_commands.h"
#include "protocol/display.h"
#include "protocol/frame.h"
#include "tests/jack/jack_test_support.h"

namespace tamblet::test {
namespace {

using namespace std::chrono_literals;
using midi::MIDIHDR;
using midi::MidiLayer;
using midi::PortHandle;

const std::vector<uint8_t> kGetModelName = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7};

class NullDisplay : public Display {
 public:
  void SetStatusText(const char*) override {}
  void SendProgressMessage(uint32_t, uint32_t, uint32_t) override {}
};

// Every callback of a port, with a copy of a returned buffer's bytes.
class Recorder {
 public:
  struct Event {
    uint32_t msg;
    uintptr_t param1;
    std::vector<uint8_t> bytes;
  };

  static void Callback(PortHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t) {
    auto* self = reinterpret_cast<Recorder*>(instance);
    Event event{msg, param1, {}};
    if (msg == midi::MIM_LONGDATA || msg == midi::MIM_LONGERROR) {
      const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
      event.bytes.assign(header->lpData, header->lpData + header->dwBytesRecorded);
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->events_.push_back(std::move(event));
    self->changed_.notify_all();
  }

  uintptr_t instance() { return reinterpret_cast<uintptr_t>(this); }

  bool WaitCount(uint32_t msg, size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return CountLocked(msg) >= count; });
  }
  size_t Count(uint32_t msg) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(msg);
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  size_t CountLocked(uint32_t msg) const {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [&](const Event& e) { return e.msg == msg; }));
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

std::unique_ptr<MidiLayer> LayerOn(const std::string& server,
                                   const std::string& client = "Tamblet") {
  midi::JackMidiOptions options;
  options.server_name = server;
  options.client_name = client;
  return midi::CreateJackMidiLayer(options);
}

std::vector<std::string> DevsimArgs(const std::string& server, const std::string& client,
                                    std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--server", server, "--name", client};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class JackWithDevice : public ::testing::Test {
 protected:
  void StartDevice(std::vector<std::string> more = {}) {
    server_ = SharedServerName();
    ASSERT_FALSE(server_.empty());
    client_ = UniqueDeviceClient("T");
    ASSERT_TRUE(devsim_.Start(DevsimArgs(server_, client_, std::move(more))));
    layer_ = LayerOn(server_);
    const auto out = FindOutput(*layer_, client_ + " OUT 1");
    const auto in = FindInput(*layer_, client_ + " IN 1");
    ASSERT_TRUE(out && in) << "device ports not listed";
    out_index_ = *out;
    in_index_ = *in;
  }

  void TearDown() override {
    if (HasFailure()) {
      for (const std::string& line : devsim_.Lines()) std::printf("devsim: %s\n", line.c_str());
    }
  }

  Watchdog watchdog_{60s};
  std::string server_;
  std::string client_;
  DevsimProcess devsim_;
  // Before the layer: a port left open by a failed assertion closes first.
  Recorder out_events_;
  Recorder in_events_;
  std::unique_ptr<MidiLayer> layer_;
  uint32_t out_index_ = 0;
  uint32_t in_index_ = 0;
};

TEST_F(JackWithDevice, DevsimPortsAreListedAsTheDeviceAndOtherPortsKeepTheirNames) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  // A plain MIDI client beside the device.
  const std::string plain = "plain" + std::to_string(getpid());
  jack_status_t status{};
  jack_client_t* other = jack_client_open(
      plain.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
      server_.c_str());
  ASSERT_NE(other, nullptr);
  ASSERT_NE(jack_port_register(other, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0),
            nullptr);

  midi::MidiCaps caps;
  ASSERT_EQ(layer_->OutGetDevCaps(out_index_, &caps), midi::MMSYSERR_NOERROR);
  EXPECT_EQ(caps.wMid, 37);
  EXPECT_EQ(caps.wPid, 4);
  ASSERT_EQ(layer_->InGetDevCaps(in_index_, &caps), midi::MMSYSERR_NOERROR);
  EXPECT_EQ(caps.wMid, 37);
  EXPECT_EQ(caps.wPid, 5);

  // A fresh count sees the new port; the device's ports are listed once each.
  const auto keys = FindInput(*layer_, plain + ":keys");
  ASSERT_TRUE(keys);
  ASSERT_EQ(layer_->InGetDevCaps(*keys, &caps), midi::MMSYSERR_NOERROR);
  EXPECT_EQ(caps.wMid, 0);
  EXPECT_EQ(caps.wPid, 0);
  int device_inputs = 0;
  for (uint32_t i = 0; i < layer_->InGetNumDevs(); ++i) {
    layer_->InGetDevCaps(i, &caps);
    if (CapsName(caps).starts_with(client_ + " ")) ++device_inputs;
  }
  EXPECT_EQ(device_inputs, 1);
  jack_client_close(other);
}

TEST_F(JackWithDevice, GetModelNameOverThePortPairGetsTheConfiguredName) {
  ASSERT_NO_FATAL_FAILURE(StartDevice({"--model", "JACKMODEL"}));
  NullDisplay display;
  CSysExPort port(*layer_);
  for (int cycle = 0; cycle < 2; ++cycle) {  // the pair opens again after a close
    ASSERT_TRUE(port.Open(out_index_, in_index_));
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(testing::Message() << "cycle " << cycle << " exchange " << i);
      char name[kModelNameSize] = {};
      ASSERT_EQ(DeviceCommands(port, display).GetModelName(name), 0);
      EXPECT_STREQ(name, "JACKMODEL");
    }
    port.Close();
  }
  EXPECT_TRUE(devsim_.WaitForLine("6 GetModelName (8 bytes)", 2s));
}

TEST_F(JackWithDevice, LargestWriteDataFrameArrivesWhole) {
  const std::string dump = "/tmp/tamblet-devsim-dump-" + std::to_string(getpid()) + ".bin";
  ASSERT_NO_FATAL_FAILURE(StartDevice({"--flash-size", "0x4000", "--dump", dump}));
  std::vector<uint8_t> data(kMaxWriteDataBytes);
  std::mt19937 random(7);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());

  NullDisplay display;
  CSysExPort port(*layer_);
  ASSERT_TRUE(port.Open(out_index_, in_index_));
  // The device answers success only to a frame whose every byte and checksum arrived.
  EXPECT_EQ(DeviceCommands(port, display).WriteChunk(0x1000, data.data(), kMaxWriteDataBytes), 0);
  port.Close();
  EXPECT_TRUE(devsim_.WaitForLine("WriteData 0x00001000 +2048 (2362 bytes) -> ", 2s));
  EXPECT_EQ(devsim_.Stop(), 0);

  std::ifstream file(dump, std::ios::binary);
  const std::vector<uint8_t> flash((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  std::remove(dump.c_str());
  ASSERT_EQ(flash.size(), 0x4000u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1000));
  EXPECT_EQ(flash[0xFFF], 0xFF);
  EXPECT_EQ(flash[0x1000 + kMaxWriteDataBytes], 0xFF);
}

TEST_F(JackWithDevice, InjectedFaultMakesTheExchangeTimeOutAndCloseStillReturns) {
  ASSERT_NO_FATAL_FAILURE(
      StartDevice({"--fault", "GetModelName:1:no-reply", "--fault", "GetModelName:3:late"}));
  NullDisplay display;
  ScaledWaits waits;
  CSysExPort port(*layer_, waits);
  ASSERT_TRUE(port.Open(out_index_, in_index_));
  char name[kModelNameSize] = {};
  EXPECT_EQ(DeviceCommands(port, display).GetModelName(name), 1);
  EXPECT_EQ(DeviceCommands(port, display).GetModelName(name), 0);  // the next one is answered
  EXPECT_EQ(DeviceCommands(port, display).GetModelName(name), 1);  // its reply is still on its way
  const auto start = std::chrono::steady_clock::now();
  port.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(devsim_.WaitForLine("1 GetModelName (8 bytes) -> no reply", 2s));
}

TEST_F(JackWithDevice, BrokenReplyComesBackAsLongErrorAndResetReturnsTheBuffers) {
  ASSERT_NO_FATAL_FAILURE(StartDevice({"--fault", "GetModelName:1:long-error"}));
  Recorder& out_events = out_events_;
  Recorder& in_events = in_events_;
  PortHandle out = nullptr, in = nullptr;
  ASSERT_EQ(layer_->OutOpen(&out, out_index_, &Recorder::Callback, out_events.instance()), 0u);
  ASSERT_EQ(layer_->InOpen(&in, in_index_, &Recorder::Callback, in_events.instance()), 0u);
  std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(512), std::vector<uint8_t>(512)};
  MIDIHDR in_headers[2];
  for (int i = 0; i < 2; ++i) {
    in_headers[i].lpData = buffers[i].data();
    in_headers[i].dwBufferLength = 512;
    ASSERT_EQ(layer_->InPrepareHeader(in, &in_headers[i]), 0u);
    ASSERT_EQ(layer_->InAddBuffer(in, &in_headers[i]), 0u);
  }
  ASSERT_EQ(layer_->InStart(in), 0u);

  std::vector<uint8_t> request = kGetModelName;
  MIDIHDR out_header;
  out_header.lpData = request.data();
  out_header.dwBufferLength = static_cast<uint32_t>(request.size());
  ASSERT_EQ(layer_->OutPrepareHeader(out, &out_header), 0u);
  ASSERT_EQ(layer_->OutLongMsg(out, &out_header), 0u);
  ASSERT_TRUE(out_events.WaitCount(midi::MOM_DONE, 1));
  EXPECT_TRUE(out_header.dwFlags & midi::MHDR_DONE);
  ASSERT_TRUE(in_events.WaitCount(midi::MIM_LONGERROR, 1));
  EXPECT_EQ(in_events.Count(midi::MIM_LONGDATA), 0u);

  // The second buffer is still queued: the reset hands it back, empty, before it returns.
  ASSERT_EQ(layer_->InReset(in), 0u);
  EXPECT_EQ(in_events.Count(midi::MIM_LONGDATA), 1u);
  EXPECT_TRUE(in_events.Events().back().bytes.empty());
  EXPECT_EQ(in_events.Events().back().param1, reinterpret_cast<uintptr_t>(&in_headers[1]));
  EXPECT_EQ(layer_->InUnprepareHeader(in, &in_headers[1]), 0u);

  EXPECT_EQ(layer_->OutClose(out), 0u);
  EXPECT_EQ(layer_->InClose(in), 0u);
  EXPECT_EQ(out_events.Events().back().msg, midi::MOM_CLOSE);
  EXPECT_EQ(in_events.Events().back().msg, midi::MIM_CLOSE);
  EXPECT_EQ(layer_->OutClose(out), midi::MMSYSERR_INVALHANDLE);  // the handle is gone
}

TEST_F(JackWithDevice, SendLargerThanAnEventIsRefusedWithoutCompletion) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  Recorder& events = out_events_;
  PortHandle out = nullptr;
  ASSERT_EQ(layer_->OutOpen(&out, out_index_, &Recorder::Callback, events.instance()), 0u);
  std::vector<uint8_t> huge(40000, 0x11);
  huge.front() = 0xF0;
  huge.back() = 0xF7;
  MIDIHDR header;
  header.lpData = huge.data();
  header.dwBufferLength = static_cast<uint32_t>(huge.size());
  ASSERT_EQ(layer_->OutPrepareHeader(out, &header), 0u);
  EXPECT_NE(layer_->OutLongMsg(out, &header), 0u);
  EXPECT_FALSE(header.dwFlags & midi::MHDR_INQUEUE);

  std::vector<uint8_t> request = kGetModelName;
  header.lpData = request.data();
  header.dwBufferLength = static_cast<uint32_t>(request.size());
  ASSERT_EQ(layer_->OutLongMsg(out, &header), 0u);
  ASSERT_TRUE(events.WaitCount(midi::MOM_DONE, 1));
  EXPECT_TRUE(devsim_.WaitForLine("1 GetModelName", 2s));
  EXPECT_EQ(layer_->OutClose(out), 0u);
  EXPECT_EQ(events.Count(midi::MOM_DONE), 1u);  // none for the refused send
}

// A second layer reads what the first one sends: the receiving side sees each
// event whole, judged against its buffer.
TEST_F(JackWithDevice, ReceivedEventsAreDeliveredWholeOrAsErrors) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  const std::string sender_client = "TambletA" + std::to_string(getpid());
  Recorder sent, received;  // outlive the layers below
  auto sender = LayerOn(server_, sender_client);
  PortHandle out = nullptr;
  ASSERT_TRUE(FindOutput(*sender, client_ + " OUT 1"));
  ASSERT_EQ(sender->OutOpen(&out, *FindOutput(*sender, client_ + " OUT 1"), &Recorder::Callback,
                            sent.instance()),
            0u);
  auto receiver = LayerOn(server_, "TambletB" + std::to_string(getpid()));
  const auto from_sender = FindInput(*receiver, sender_client + ":out");
  ASSERT_TRUE(from_sender);
  PortHandle in = nullptr;
  ASSERT_EQ(receiver->InOpen(&in, *from_sender, &Recorder::Callback, received.instance()), 0u);
  std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(4096));
  MIDIHDR headers[4];
  for (int i = 0; i < 4; ++i) {
    headers[i].lpData = buffers[i].data();
    headers[i].dwBufferLength = 4096;
    receiver->InPrepareHeader(in, &headers[i]);
    ASSERT_EQ(receiver->InAddBuffer(in, &headers[i]), 0u);
  }
  ASSERT_EQ(receiver->InStart(in), 0u);

  auto sysex = [](size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i % 0x80);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
  };
  std::vector<uint8_t> unterminated = sysex(100);
  unterminated.back() = 0x00;
  const std::vector<std::vector<uint8_t>> messages = {
      sysex(kMaxWriteDataFrame), sysex(5000), unterminated, {0x90, 0x40, 0x7F}, sysex(4096)};
  MIDIHDR header;
  for (size_t i = 0; i < messages.size(); ++i) {
    std::vector<uint8_t> bytes = messages[i];
    header = MIDIHDR{};
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<uint32_t>(bytes.size());
    sender->OutPrepareHeader(out, &header);
    ASSERT_EQ(sender->OutLongMsg(out, &header), 0u);
    ASSERT_TRUE(sent.WaitCount(midi::MOM_DONE, i + 1));
  }
  ASSERT_TRUE(received.WaitCount(midi::MIM_LONGDATA, 2));
  ASSERT_TRUE(received.WaitCount(midi::MIM_LONGERROR, 2));
  ASSERT_TRUE(received.WaitCount(midi::MIM_DATA, 1));
  std::vector<Recorder::Event> events;
  for (const auto& event : received.Events()) {
    if (event.msg != midi::MIM_OPEN) events.push_back(event);
  }
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].msg, midi::MIM_LONGDATA);
  EXPECT_EQ(events[0].bytes, messages[0]);
  EXPECT_EQ(events[1].msg, midi::MIM_LONGERROR);  // larger than the buffer: cut to it
  EXPECT_EQ(events[1].bytes, std::vector<uint8_t>(messages[1].begin(), messages[1].begin() + 4096));
  EXPECT_EQ(events[2].msg, midi::MIM_LONGERROR);
  EXPECT_EQ(events[3].msg, midi::MIM_DATA);
  EXPECT_EQ(events[3].param1, 0x7F4090u);
  EXPECT_EQ(events[4].msg, midi::MIM_LONGDATA);  // exactly the buffer's size
  EXPECT_EQ(events[4].bytes, messages[4]);

  EXPECT_EQ(receiver->InClose(in), 0u);
  EXPECT_EQ(sender->OutClose(out), 0u);
}

TEST(JackServerGone, ExchangesFailAndNothingHangs) {
  Watchdog watchdog(60s);
  PrivateServer server;
  ASSERT_TRUE(server.Start());
  const std::string client = UniqueDeviceClient("G");
  DevsimProcess devsim;
  ASSERT_TRUE(devsim.Start(DevsimArgs(server.name(), client)));
  auto layer = LayerOn(server.name());
  const auto out = FindOutput(*layer, client + " OUT 1");
  const auto in = FindInput(*layer, client + " IN 1");
  ASSERT_TRUE(out && in);

  NullDisplay display;
  ScaledWaits waits;
  CSysExPort port(*layer, waits);
  ASSERT_TRUE(port.Open(*out, *in));
  char name[kModelNameSize] = {};
  ASSERT_EQ(DeviceCommands(port, display).GetModelName(name), 0);

  server.Stop();
  EXPECT_EQ(devsim.WaitExit(10s), std::optional<int>(1));  // the device noticed too
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(DeviceCommands(port, display).GetModelName(name), 1);
  }
  port.Close();
  EXPECT_EQ(layer->OutGetNumDevs(), 0u);
  EXPECT_FALSE(port.Open(*out, *in));
  layer.reset();
}

}  // namespace
}  // namespace tamblet::test
