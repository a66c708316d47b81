// The port pair against the simulated driver: opening and closing, one
// exchange at a time, and what the driver may do wrong.

#include "midi/sysex_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "midi/simulated/simulated_midi.h"
#include "tests/midi/midi_test_support.h"
#include "tests/midi/port_waits.h"
#include "tests/support/fast_waits.h"

namespace tamblet::test {
namespace {

using midi::SimulatedMidi;

constexpr uint32_t kTimeout = 5000;
constexpr size_t kSlot = 512;
constexpr size_t kGuard = 64;  // past the slot: must never be written
constexpr uint8_t kCanary = 0xA5;
constexpr uint32_t kReal = 1000000;  // scale for waits that a reply ends
constexpr uint32_t kQuick = 1000;    // scale for waits that time out

void IgnoreCallback(midi::PortHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

class PortPairTest : public ::testing::Test {
 protected:
  PortPairTest() {
    out_ = midi_.AddOutPort(SimulatedMidi::Caps(37, 4, "QELMAR OUT 1"));
    in_ = midi_.AddInPort(SimulatedMidi::Caps(37, 5, "QELMAR IN 1"));
    other_out_ = midi_.AddOutPort(SimulatedMidi::Caps(1, 1, "Other OUT"));
    other_in_ = midi_.AddInPort(SimulatedMidi::Caps(1, 1, "Other IN"));
    midi_.Connect(&peer_, out_, in_);
    std::fill(slot_.begin(), slot_.end(), kCanary);
  }

  std::span<uint8_t> slot() { return {slot_.data(), kSlot}; }
  bool SlotUntouched() const {
    return std::all_of(slot_.begin(), slot_.end(), [](uint8_t b) { return b == kCanary; });
  }
  // The slot starts with `prefix` and holds the canary everywhere else.
  void ExpectSlot(const Bytes& prefix) const {
    ASSERT_LE(prefix.size(), kSlot);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), slot_.begin()));
    EXPECT_TRUE(std::all_of(slot_.begin() + static_cast<long>(prefix.size()), slot_.end(),
                            [](uint8_t b) { return b == kCanary; }));
  }
  void Exchange(const Bytes& request) {
    port_.Send(request.data(), static_cast<uint32_t>(request.size()), slot());
  }
  // The port still works: a fresh exchange gets its own reply.
  void ExpectHealthy() {
    std::fill(slot_.begin(), slot_.end(), kCanary);
    const Bytes answer = Frame(9, 0x33);
    peer_.Always({Long(answer)});
    waits_.set_scale_ns(kReal);
    Exchange(Frame(8));
    EXPECT_TRUE(port_.AwaitReply(kTimeout));
    ExpectSlot(answer);
  }

  FastWaits driver_waits_;
  PortWaits waits_;
  SimulatedMidi midi_{driver_waits_};
  ScriptPeer peer_;
  uint32_t out_ = 0, in_ = 0, other_out_ = 0, other_in_ = 0;
  std::vector<uint8_t> slot_ = std::vector<uint8_t>(kSlot + kGuard);
  CSysExPort port_{midi_, waits_};
};

// --- Open and Close ----------------------------------------------------------

TEST_F(PortPairTest, OpenQueuesEveryBufferAfterResettingTheInput) {
  midi_.RecordCalls(true);
  ASSERT_TRUE(port_.Open(out_, in_));
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
  EXPECT_TRUE(midi_.IsInStarted(in_));
  std::vector<std::string> expected = {"OutOpen 0", "InOpen 0", "InReset"};
  for (int i = 0; i < 8; ++i) {
    expected.push_back("InPrepareHeader");
    expected.push_back("InAddBuffer");
  }
  expected.push_back("InStart");
  EXPECT_EQ(midi_.Calls(), expected);
}

TEST_F(PortPairTest, CloseReleasesBothPortsAndASecondCloseDoesNothing) {
  ASSERT_TRUE(port_.Open(out_, in_));
  ExpectHealthy();
  midi_.RecordCalls(true);
  port_.Close();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(midi_.IsOutOpen(out_));
  EXPECT_FALSE(midi_.IsInOpen(in_));
  std::vector<std::string> expected = {"OutReset", "OutUnprepareHeader", "OutClose", "InStop",
                                       "InReset"};
  for (int i = 0; i < 8; ++i) expected.push_back("InUnprepareHeader");
  expected.push_back("InClose");
  EXPECT_EQ(midi_.Calls(), expected);

  midi_.RecordCalls(true);
  port_.Close();
  port_.Close();
  EXPECT_TRUE(midi_.Calls().empty());
}

TEST_F(PortPairTest, CloseOnANeverOpenedPairMakesNoCall) {
  midi_.RecordCalls(true);
  port_.Close();
  EXPECT_TRUE(midi_.Calls().empty());
}

TEST_F(PortPairTest, OpenOnAnOpenPairChangesNothingEvenWithOtherIndices) {
  ASSERT_TRUE(port_.Open(out_, in_));
  midi_.RecordCalls(true);
  EXPECT_TRUE(port_.Open(other_out_, other_in_));
  EXPECT_TRUE(midi_.Calls().empty());
  EXPECT_FALSE(midi_.IsOutOpen(other_out_));
  EXPECT_TRUE(midi_.IsOutOpen(out_));
  ExpectHealthy();
}

TEST_F(PortPairTest, OpenCloseCyclesQueueAllBuffersEachTime) {
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_TRUE(port_.Open(out_, in_));
    EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
    ExpectHealthy();
    port_.Close();
  }
}

struct OpenFailure {
  const char* name;
  midi::OutPortFaults out;
  midi::InPortFaults in;
};
void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.name; }

class OpenFailureTest : public PortPairTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, LeavesBothPortsClosedAndTheNextOpenWorks) {
  midi_.SetOutFaults(out_, GetParam().out);
  midi_.SetInFaults(in_, GetParam().in);
  EXPECT_FALSE(port_.Open(out_, in_));
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(midi_.IsOutOpen(out_));
  EXPECT_FALSE(midi_.IsInOpen(in_));

  midi_.SetOutFaults(out_, {});
  midi_.SetInFaults(in_, {});
  ASSERT_TRUE(port_.Open(out_, in_));
  EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
  ExpectHealthy();
}

constexpr midi::MMRESULT kErr = midi::MMSYSERR_ERROR;

INSTANTIATE_TEST_SUITE_P(
    Open, OpenFailureTest,
    ::testing::Values(OpenFailure{"output_open",
                                  With<midi::OutPortFaults>([](auto& f) {
                                    f.open = midi::MMSYSERR_ALLOCATED;
                                  }),
                                  {}},
                      OpenFailure{"input_open", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.open = midi::MMSYSERR_ALLOCATED;
                                  })},
                      OpenFailure{"input_reset", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.reset = midi::Fault{kErr, 0};
                                  })},
                      OpenFailure{"first_prepare", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.prepare = midi::Fault{kErr, 0};
                                  })},
                      OpenFailure{"sixth_prepare", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.prepare = midi::Fault{midi::MMSYSERR_NOMEM, 5};
                                  })},
                      OpenFailure{"first_add_buffer", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.add_buffer = midi::Fault{kErr, 0};
                                  })},
                      OpenFailure{"last_add_buffer", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.add_buffer = midi::Fault{kErr, 7};
                                  })},
                      OpenFailure{"start", {}, With<midi::InPortFaults>([](auto& f) {
                                    f.start = midi::Fault{kErr, 0};
                                  })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortPairTest, OpenOfAPortHeldElsewhereFails) {
  // Another program holds the input: the output opened first is closed again.
  midi::PortHandle held = nullptr;
  ASSERT_EQ(midi_.InOpen(&held, in_, &IgnoreCallback, 0), midi::MMSYSERR_NOERROR);
  EXPECT_FALSE(port_.Open(out_, in_));
  EXPECT_FALSE(midi_.IsOutOpen(out_));
  midi_.InClose(held);
}

// --- one exchange ------------------------------------------------------------

struct ExchangeCase {
  const char* name;
  std::vector<sim::Reply> replies;
  bool delivered;  // what AwaitReply returns
  Bytes slot;      // what the slot starts with afterwards; empty: untouched
};
void PrintTo(const ExchangeCase& c, std::ostream* os) { *os << c.name; }

class ExchangeTest : public PortPairTest, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, AwaitReplyAndSlotMatchWhatTheDeviceSent) {
  const ExchangeCase& c = GetParam();
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always(c.replies);
  Exchange(Frame(8));
  waits_.set_scale_ns(c.delivered ? kReal : kQuick);
  EXPECT_EQ(port_.AwaitReply(kTimeout), c.delivered);
  EXPECT_EQ(waits_.waits().back().ms, kTimeout);
  // Whatever else the device sent, and held messages, arrive now: none of it
  // may reach the slot.
  midi_.Drain();
  midi_.ReleaseHeld();
  ExpectSlot(c.slot);
  EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
  ExpectHealthy();
}

const Bytes kReply = Frame(12, 0x20);
const Bytes kOther = Frame(12, 0x40);
const Bytes kOversized = Frame(600, 0x01);
const Bytes kOversizedCut(kOversized.begin(), kOversized.begin() + kSlot);

INSTANTIATE_TEST_SUITE_P(
    Exchange, ExchangeTest,
    ::testing::Values(
        ExchangeCase{"reply", {Long(kReply)}, true, kReply},
        ExchangeCase{"delayed_reply", {Long(kReply, 3000)}, true, kReply},
        ExchangeCase{"long_error_wakes_slot_unchanged", {LongError(kReply)}, true, {}},
        ExchangeCase{"short_messages_never_wake", {Short(0x90, 60, 100), Short(0xF8)}, false, {}},
        ExchangeCase{
            "short_messages_then_reply", {Short(0x90, 60, 100), Long(kReply)}, true, kReply},
        ExchangeCase{"second_message_not_copied", {Long(kReply), Long(kOther)}, true, kReply},
        ExchangeCase{"oversized_reply_cut_at_slot", {Long(kOversized)}, true, kOversizedCut},
        ExchangeCase{"past_receive_buffer_is_long_error", {Long(Frame(5000))}, true, {}},
        ExchangeCase{"without_end_is_long_error", {Long({0xF0, 0x43, 0x50})}, true, {}},
        ExchangeCase{"no_reply_times_out", {}, false, {}},
        ExchangeCase{"late_reply_never_copied", {Long(kReply, SimulatedMidi::kLate)}, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortPairTest, ReplyBeforeAwaitReplyReturnsAtOnce) {
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kReply)});
  Exchange(Frame(8));
  midi_.Drain();  // the reply is in the slot before anyone waits
  waits_.clear();
  EXPECT_TRUE(port_.AwaitReply(kTimeout));
  ASSERT_EQ(waits_.waits().size(), 1u);
  EXPECT_TRUE(waits_.waits()[0].ready_at_entry);
  ExpectSlot(kReply);
}

TEST_F(PortPairTest, TimeOutLeavesTheEventClear) {
  ASSERT_TRUE(port_.Open(out_, in_));
  Exchange(Frame(8));
  waits_.set_scale_ns(kQuick);
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  waits_.clear();
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  EXPECT_FALSE(waits_.waits().at(0).ready_at_entry);
}

TEST_F(PortPairTest, LateReplyIsNeverWrittenIntoAReleasedSlot) {
  // The slot lives on the heap and is freed on time-out, as the commands do;
  // under AddressSanitizer any later write into it is caught.
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kOversized, SimulatedMidi::kLate)});
  auto released = std::make_unique<uint8_t[]>(kSlot);
  const Bytes request = Frame(8);
  port_.Send(request.data(), 8, {released.get(), kSlot});
  waits_.set_scale_ns(kQuick);
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  released.reset();
  const uint64_t before = midi_.delivered();
  midi_.ReleaseHeld();
  EXPECT_EQ(midi_.delivered(), before + 1);
  ExpectHealthy();
}

TEST_F(PortPairTest, LateReplyArrivingAsCloseBeginsIsDropped) {
  // The held reply comes with Close's first driver call, after the time-out.
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kReply, SimulatedMidi::kLate)});
  Exchange(Frame(8));
  waits_.set_scale_ns(kQuick);
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  const uint64_t before = midi_.delivered();
  port_.Close();
  EXPECT_EQ(midi_.delivered(), before + 1);
  EXPECT_TRUE(SlotUntouched());
  EXPECT_FALSE(midi_.IsInOpen(in_));
}

TEST_F(PortPairTest, ReplyCompletingAtTheDeadlineCountsAndIsWhole) {
  // The timed wait has just given up when the reply is copied: AwaitReply
  // must not return before that copy is complete, and then reports it.
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kReply, SimulatedMidi::kLate)});
  Exchange(Frame(8));
  waits_.set_scale_ns(kQuick);
  waits_.AfterNextTimeout([this] { midi_.ReleaseHeld(); });
  EXPECT_TRUE(port_.AwaitReply(kTimeout));
  ExpectSlot(kReply);
  waits_.clear();
  EXPECT_FALSE(port_.AwaitReply(kTimeout));  // consumed
  ExpectHealthy();
}

TEST_F(PortPairTest, MessageHandedBackAfterCloseBeganIsNeitherCopiedNorQueued) {
  // Armed, then closed without waiting: the reply comes back during Close.
  // Were its buffer queued again, the input could not close.
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kReply, SimulatedMidi::kLate)});
  Exchange(Frame(8));
  for (int i = 0; i < 3; ++i) midi_.Inject(Long(kOther, SimulatedMidi::kLate));
  port_.Close();
  EXPECT_FALSE(midi_.IsInOpen(in_));
  EXPECT_TRUE(SlotUntouched());
  ASSERT_TRUE(port_.Open(out_, in_));
  EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
}

TEST_F(PortPairTest, UnsolicitedMessageWhileIdleIsDroppedNotKept) {
  ASSERT_TRUE(port_.Open(out_, in_));
  for (int i = 0; i < 20; ++i) midi_.Inject(Long(kOther));  // more than 8 buffers' worth
  midi_.Inject(LongError(kOther));
  midi_.Inject(Short(0xB0, 7, 100));
  midi_.Drain();
  EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
  peer_.Always({Long(kReply)});
  Exchange(Frame(8));
  EXPECT_TRUE(port_.AwaitReply(kTimeout));
  ExpectSlot(kReply);
}

TEST_F(PortPairTest, SendWithoutSlotSendsAndArmsNothing) {
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kReply)});
  const Bytes request = Frame(8, 0x50);
  port_.Send(request.data(), 8, {});
  EXPECT_EQ(midi_.Sent(out_), std::vector<Bytes>{request});
  midi_.Drain();
  waits_.set_scale_ns(kQuick);
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  EXPECT_TRUE(SlotUntouched());
}

struct RefusedSend {
  const char* name;
  midi::OutPortFaults faults;
};
void PrintTo(const RefusedSend& c, std::ostream* os) { *os << c.name; }

class RefusedSendTest : public PortPairTest, public ::testing::WithParamInterface<RefusedSend> {};

TEST_P(RefusedSendTest, ReturnsAtOnceAndTheReplyWaitTimesOut) {
  ASSERT_TRUE(port_.Open(out_, in_));
  peer_.Always({Long(kReply)});
  midi_.SetOutFaults(out_, GetParam().faults);
  waits_.set_scale_ns(kQuick);
  Exchange(Frame(8));
  EXPECT_TRUE(waits_.waits().empty());  // Send did not wait for a completion
  EXPECT_TRUE(midi_.Sent(out_).empty());
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  EXPECT_TRUE(SlotUntouched());
  midi_.SetOutFaults(out_, {});
  ExpectHealthy();
}

INSTANTIATE_TEST_SUITE_P(
    Send, RefusedSendTest,
    ::testing::Values(RefusedSend{"prepare", With<midi::OutPortFaults>([](auto& f) {
                                    f.prepare = midi::Fault{kErr, 0};
                                  })},
                      RefusedSend{"long_msg", With<midi::OutPortFaults>([](auto& f) {
                                    f.long_msg = midi::Fault{kErr, 0};
                                  })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortPairTest, SendTakesTheFrameBackWhenTheDriverNeverFinishes) {
  ASSERT_TRUE(port_.Open(out_, in_));
  // A completion that nobody waits for (from this exchange's reset) leaves the
  // event set; the next Send must still wait for its own.
  ExpectHealthy();
  midi_.SetOutFaults(out_, With<midi::OutPortFaults>([](auto& f) { f.withhold_done = true; }));
  waits_.set_scale_ns(kQuick);
  waits_.clear();
  auto frame = std::make_unique<uint8_t[]>(8);
  std::copy_n(Frame(8).begin(), 8, frame.get());
  port_.Send(frame.get(), 8, slot());
  ASSERT_EQ(waits_.waits().size(), 1u);
  EXPECT_EQ(waits_.waits()[0].ms, 5000u);
  EXPECT_EQ(midi_.OutstandingSends(out_), 0u);  // handed back: the frame may go
  frame.reset();
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  midi_.SetOutFaults(out_, {});
  ExpectHealthy();
}

TEST_F(PortPairTest, SendOnAClosedPairReturnsAndNothingArrives) {
  waits_.set_scale_ns(kQuick);
  Exchange(Frame(8));
  EXPECT_TRUE(midi_.Sent(out_).empty());
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
}

struct Corrupt {
  const char* name;
  midi::Corruption corruption;
};
void PrintTo(const Corrupt& c, std::ostream* os) { *os << c.name; }

class CorruptDeliveryTest : public PortPairTest, public ::testing::WithParamInterface<Corrupt> {};

TEST_P(CorruptDeliveryTest, IsIgnoredAndTheBufferStaysInUse) {
  ASSERT_TRUE(port_.Open(out_, in_));
  Exchange(Frame(8));
  waits_.set_scale_ns(kQuick);
  midi_.Inject(Long(kReply), GetParam().corruption);
  midi_.Drain();
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  EXPECT_TRUE(SlotUntouched());
  EXPECT_EQ(midi_.QueuedBuffers(in_), 8u);
  ExpectHealthy();
}

INSTANTIATE_TEST_SUITE_P(
    Driver, CorruptDeliveryTest,
    ::testing::Values(Corrupt{"count_past_buffer", midi::Corruption::kCountPastBuffer},
                      Corrupt{"foreign_header", midi::Corruption::kForeignHeader}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tamblet::test
