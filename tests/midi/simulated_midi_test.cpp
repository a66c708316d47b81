// The simulated driver keeps the layer's contract: port lists and caps for
// discovery, callbacks on its own thread, resets that hand buffers back before
// they return, delays through its wait policy, and held late messages.

#include "midi/simulated/simulated_midi.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/midi/midi_test_support.h"
#include "tests/support/fast_waits.h"

namespace tamblet::test {
namespace {

using midi::MIDIHDR;
using midi::SimulatedMidi;

struct Event {
  uint32_t msg;
  uintptr_t param1;
  uint32_t bytes;  // dwBytesRecorded for long messages
  std::thread::id thread;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Event> events;
  std::vector<Event> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(events, {});
  }
  static void Callback(midi::PortHandle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                       uintptr_t) {
    auto* self = reinterpret_cast<Recorder*>(instance);
    uint32_t bytes = 0;
    if (msg == midi::MIM_LONGDATA || msg == midi::MIM_LONGERROR) {
      bytes = reinterpret_cast<MIDIHDR*>(param1)->dwBytesRecorded;
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    self->events.push_back({msg, param1, bytes, std::this_thread::get_id()});
  }
};

TEST(SimulatedMidiTest, PortListsAndCapsForDiscovery) {
  SimulatedMidi midi;
  const std::string full(32, 'Q');  // fills the field: no terminating NUL
  midi.AddOutPort(SimulatedMidi::Caps(1, 2, "Synth OUT"));
  midi.AddOutPort(SimulatedMidi::Caps(37, 4, full));
  midi.AddInPort(SimulatedMidi::Caps(37, 5, "QELMAR IN 1"));
  midi.SetOutFaults(
      0, With<midi::OutPortFaults>([](auto& f) { f.get_caps = midi::MMSYSERR_NODRIVER; }));

  EXPECT_EQ(midi.OutGetNumDevs(), 2u);
  EXPECT_EQ(midi.InGetNumDevs(), 1u);
  midi::MidiCaps caps;
  EXPECT_EQ(midi.OutGetDevCaps(0, &caps), midi::MMSYSERR_NODRIVER);
  ASSERT_EQ(midi.OutGetDevCaps(1, &caps), midi::MMSYSERR_NOERROR);
  EXPECT_EQ(caps.wMid, 37);
  EXPECT_EQ(caps.wPid, 4);
  EXPECT_EQ(std::memcmp(caps.szPname, full.data(), 32), 0);
  ASSERT_EQ(midi.InGetDevCaps(0, &caps), midi::MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "QELMAR IN 1");
  EXPECT_EQ(midi.InGetDevCaps(1, &caps), midi::MMSYSERR_BADDEVICEID);
}

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() {
    out_ = midi_.AddOutPort(SimulatedMidi::Caps(37, 4, "OUT"));
    in_ = midi_.AddInPort(SimulatedMidi::Caps(37, 5, "IN"));
    midi_.Connect(&peer_, out_, in_);
    for (size_t i = 0; i < headers_.size(); ++i) {
      headers_[i].lpData = data_[i];
      headers_[i].dwBufferLength = sizeof data_[i];
    }
  }
  ~DriverTest() override {
    if (in_handle_) {
      midi_.InReset(in_handle_);
      midi_.InClose(in_handle_);
    }
    if (out_handle_) {
      midi_.OutReset(out_handle_);
      midi_.OutClose(out_handle_);
    }
  }
  void OpenBoth(size_t buffers) {
    ASSERT_EQ(midi_.OutOpen(&out_handle_, out_, &Recorder::Callback,
                            reinterpret_cast<uintptr_t>(&out_events_)),
              midi::MMSYSERR_NOERROR);
    ASSERT_EQ(midi_.InOpen(&in_handle_, in_, &Recorder::Callback,
                           reinterpret_cast<uintptr_t>(&in_events_)),
              midi::MMSYSERR_NOERROR);
    for (size_t i = 0; i < buffers; ++i) {
      ASSERT_EQ(midi_.InPrepareHeader(in_handle_, &headers_[i]), midi::MMSYSERR_NOERROR);
      ASSERT_EQ(midi_.InAddBuffer(in_handle_, &headers_[i]), midi::MMSYSERR_NOERROR);
    }
    ASSERT_EQ(midi_.InStart(in_handle_), midi::MMSYSERR_NOERROR);
  }

  FastWaits waits_;
  SimulatedMidi midi_{waits_};
  ScriptPeer peer_;
  uint32_t out_ = 0, in_ = 0;
  midi::PortHandle out_handle_ = nullptr, in_handle_ = nullptr;
  Recorder out_events_, in_events_;
  std::array<MIDIHDR, 3> headers_{};
  uint8_t data_[3][64] = {};
};

TEST_F(DriverTest, SecondOpenOfAPortIsRefused) {
  OpenBoth(0);
  midi::PortHandle again = nullptr;
  EXPECT_EQ(midi_.OutOpen(&again, out_, &Recorder::Callback, 0), midi::MMSYSERR_ALLOCATED);
  EXPECT_EQ(midi_.InOpen(&again, in_, &Recorder::Callback, 0), midi::MMSYSERR_ALLOCATED);
  EXPECT_EQ(midi_.OutOpen(&again, 9, &Recorder::Callback, 0), midi::MMSYSERR_BADDEVICEID);
}

struct Delivery {
  const char* name;
  sim::Reply message;
  uint32_t msg;
  uint32_t bytes;
};
void PrintTo(const Delivery& c, std::ostream* os) { *os << c.name; }

class DeliveryTest : public DriverTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(DeliveryTest, ArrivesOnTheDriverThreadAsARealDriverReportsIt) {
  OpenBoth(1);
  peer_.Always({GetParam().message});
  uint8_t request[] = {0xF0, 0x01, 0xF7};
  MIDIHDR header{request, sizeof request, 0, 0, 0};
  ASSERT_EQ(midi_.OutPrepareHeader(out_handle_, &header), midi::MMSYSERR_NOERROR);
  ASSERT_EQ(midi_.OutLongMsg(out_handle_, &header), midi::MMSYSERR_NOERROR);
  midi_.Drain();

  auto out = out_events_.Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].msg, midi::MOM_DONE);
  EXPECT_EQ(out[0].param1, reinterpret_cast<uintptr_t>(&header));
  EXPECT_NE(out[0].thread, std::this_thread::get_id());
  auto in = in_events_.Take();
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].msg, GetParam().msg);
  EXPECT_EQ(in[0].bytes, GetParam().bytes);
  EXPECT_NE(in[0].thread, std::this_thread::get_id());
  EXPECT_EQ(midi_.Sent(out_), std::vector<Bytes>{Bytes(request, request + 3)});
}

INSTANTIATE_TEST_SUITE_P(
    Driver, DeliveryTest,
    ::testing::Values(Delivery{"whole_sysex", Long(Frame(10)), midi::MIM_LONGDATA, 10},
                      Delivery{"delayed", Long(Frame(10), 2000), midi::MIM_LONGDATA, 10},
                      Delivery{"no_end", Long({0xF0, 1, 2}), midi::MIM_LONGERROR, 3},
                      Delivery{"past_buffer", Long(Frame(100)), midi::MIM_LONGERROR, 64},
                      Delivery{"long_error", LongError({0xF0, 5}), midi::MIM_LONGERROR, 2},
                      Delivery{"short", Short(0x90, 0x3C, 0x64), midi::MIM_DATA, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, DelaysPassThroughTheWaitPolicy) {
  OpenBoth(1);
  midi_.Inject(Long(Frame(8), 1234));
  midi_.Drain();
  EXPECT_EQ(waits_.waits(), std::vector<uint32_t>{1234});
  EXPECT_EQ(in_events_.Take().size(), 1u);
}

TEST_F(DriverTest, MessageWithoutAFreeBufferIsLost) {
  OpenBoth(1);
  midi_.Inject(Long(Frame(8)));
  midi_.Inject(Long(Frame(8)));
  midi_.Drain();
  EXPECT_EQ(in_events_.Take().size(), 1u);
  EXPECT_EQ(midi_.dropped(), 1u);
}

TEST_F(DriverTest, InResetHandsEveryBufferBackBeforeReturning) {
  OpenBoth(3);
  ASSERT_EQ(midi_.InReset(in_handle_), midi::MMSYSERR_NOERROR);
  auto in = in_events_.Take();
  ASSERT_EQ(in.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(in[i].msg, midi::MIM_LONGDATA);
    EXPECT_EQ(in[i].param1, reinterpret_cast<uintptr_t>(&headers_[i]));
    EXPECT_EQ(in[i].bytes, 0u);
  }
  EXPECT_EQ(midi_.QueuedBuffers(in_), 0u);
}

TEST_F(DriverTest, InCloseWithQueuedBuffersIsRefused) {
  OpenBoth(2);
  EXPECT_EQ(midi_.InClose(in_handle_), midi::MIDIERR_STILLPLAYING);
  EXPECT_TRUE(midi_.IsInOpen(in_));
}

TEST_F(DriverTest, OutResetHandsAWithheldSendBackBeforeReturning) {
  midi_.SetOutFaults(out_, With<midi::OutPortFaults>([](auto& f) { f.withhold_done = true; }));
  OpenBoth(0);
  uint8_t request[] = {0xF0, 0xF7};
  MIDIHDR header{request, sizeof request, 0, 0, 0};
  ASSERT_EQ(midi_.OutPrepareHeader(out_handle_, &header), midi::MMSYSERR_NOERROR);
  ASSERT_EQ(midi_.OutLongMsg(out_handle_, &header), midi::MMSYSERR_NOERROR);
  midi_.Drain();
  EXPECT_TRUE(out_events_.Take().empty());
  EXPECT_EQ(midi_.OutstandingSends(out_), 1u);
  EXPECT_EQ(midi_.OutUnprepareHeader(out_handle_, &header), midi::MIDIERR_STILLPLAYING);
  ASSERT_EQ(midi_.OutReset(out_handle_), midi::MMSYSERR_NOERROR);
  auto out = out_events_.Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].msg, midi::MOM_DONE);
  EXPECT_EQ(midi_.OutstandingSends(out_), 0u);
  EXPECT_TRUE(midi_.Sent(out_).empty());  // never read
}

TEST_F(DriverTest, LateMessageWaitsForTheNextCallOrRelease) {
  OpenBoth(3);
  midi_.SetLateAfter(5000);
  midi_.Inject(Long(Frame(8), 5500));
  midi_.Inject(Long(Frame(8), SimulatedMidi::kLate));
  midi_.Drain();
  EXPECT_EQ(midi_.HeldCount(), 2u);
  EXPECT_TRUE(in_events_.Take().empty());
  midi_.InStop(in_handle_);  // any call of the program's delivers them first
  EXPECT_EQ(midi_.HeldCount(), 0u);
  EXPECT_EQ(in_events_.Take().size(), 2u);
  EXPECT_TRUE(waits_.waits().empty());  // their delays are not waited

  midi_.InStart(in_handle_);
  midi_.Inject(Long(Frame(8), SimulatedMidi::kLate));
  midi_.ReleaseHeld();
  EXPECT_EQ(in_events_.Take().size(), 1u);
}

}  // namespace
}  // namespace tamblet::test
