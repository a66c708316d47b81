// The port pair against the simulated driver: opening and closing, one
// exchange at a time, what the driver may do wrong, and thousands of exchanges
// with random device behaviour.

#include "midi/sysex_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/simulated_instrument.h"

namespace tamblet::test {
namespace {

using midi::SimulatedMidi;
using Bytes = std::vector<uint8_t>;
using Replies = std::vector<sim::Reply>;
using Kind = sim::Reply::Kind;

constexpr uint32_t kTimeout = 5000;
constexpr size_t kSlot = 512, kGuard = 64;
constexpr uint8_t kCanary = 0xA5;
// A driver call that fails once `after` calls of it have succeeded.
constexpr midi::Fault Fails(uint32_t after = 0, midi::MMRESULT result = midi::MMSYSERR_ERROR) {
  return {result, after};
}

// F0, then `length` - 2 bytes counting up from `first`, then F7.
Bytes Frame(size_t length, uint8_t first) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((first + i) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}
sim::Reply Long(Bytes b, uint32_t ms = 0) { return {Kind::kLongData, std::move(b), ms}; }
sim::Reply LongError(Bytes b, uint32_t ms = 0) { return {Kind::kLongError, std::move(b), ms}; }
sim::Reply Short(uint8_t a, uint8_t b, uint8_t c) { return {Kind::kShortData, {a, b, c}, 0}; }

// The slot, and the guard past it, hold `prefix` and then only the canary.
bool Holds(const uint8_t* slot, const Bytes& prefix) {
  return std::equal(prefix.begin(), prefix.end(), slot) &&
         std::all_of(slot + prefix.size(), slot + kSlot + kGuard,
                     [](auto b) { return b == kCanary; });
}

const Bytes kReply = Frame(12, 0x20), kOther = Frame(12, 0x40);

// Answers every request with `replies`, which the driver's thread reads only
// while the test thread waits in Send.
struct ScriptPeer : midi::Peer {
  Replies OnRequest(std::span<const uint8_t>) override { return replies; }
  Replies replies;
};

// Waits end once the driver has settled, so a coming reply always arrives and a
// missing one times out at once; or, with `ns` set, each lasts `ns` nanoseconds
// per millisecond in real time. `after_time_out` runs once, just after a wait
// has given up, with the wait's lock released.
class PortWaits : public SettledWaits {
 public:
  explicit PortWaits(SimulatedMidi& midi) : SettledWaits([&midi] { midi.Drain(); }) {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    if (ns != 0) return cv.wait_for(lock, std::chrono::nanoseconds(uint64_t{ms} * ns), ready);
    if (SettledWaits::WaitFor(cv, lock, ms, ready)) return true;
    if (auto hook = std::exchange(after_time_out, nullptr)) {
      lock.unlock();
      hook();
      lock.lock();
    }
    return false;
  }
  std::function<void()> after_time_out;
  std::atomic<uint32_t> ns = 0;
};

// Port 0 each way is the device's.
class PortPairTest : public ::testing::Test {
 protected:
  PortPairTest() {
    midi_.SetLateAfter(kTimeout);
  }  // a longer device delay comes after the time-out
  // Sends with a fresh slot, from a frame that goes as soon as Send returns.
  void Exchange() {
    std::fill(slot_.begin(), slot_.end(), kCanary);
    const Bytes request = Frame(8, 0x10);
    port_.Send(request.data(), 8, {slot_.data(), kSlot});
  }
  // The port still works: a fresh exchange gets its own reply.
  void ExpectHealthy() {
    const Bytes answer = Frame(9, 0x33);
    peer_.replies = {Long(answer)};
    Exchange();
    EXPECT_TRUE(port_.AwaitReply(kTimeout));
    EXPECT_TRUE(Holds(slot_.data(), answer));
  }

  ScriptPeer peer_;
  InstrumentDriver driver_{peer_};
  SimulatedMidi& midi_ = driver_.midi;
  PortWaits waits_{midi_};
  Bytes slot_ = Bytes(kSlot + kGuard);
  CSysExPort port_{midi_, waits_};
};

TEST_F(PortPairTest, OpenAndCloseInOrderAndDropWhatArrivesOutsideAnExchange) {
  std::vector<std::string> open = {"OutOpen 0", "InOpen 0", "InReset"};
  std::vector<std::string> close = {"OutReset", "OutUnprepareHeader", "OutClose", "InStop",
                                    "InReset"};
  for (int i = 0; i < 8; ++i) {
    open.insert(open.end(), {"InPrepareHeader", "InAddBuffer"});
    close.push_back("InUnprepareHeader");
  }
  open.push_back("InStart");
  close.push_back("InClose");

  midi_.RecordCalls(true);
  port_.Close();  // never opened: no call
  ASSERT_TRUE(port_.Open(0, 0));
  EXPECT_TRUE(port_.Open(1, 1));  // already open: no call, and the pair stays
  EXPECT_EQ(midi_.Calls(), open);

  // Armed, then closed without waiting: the reply and three more come back with
  // Close's first call. Were their buffers queued again, the input could not close.
  peer_.replies = {Long(kReply, SimulatedMidi::kLate)};
  Exchange();
  for (int i = 0; i < 3; ++i) midi_.Inject(Long(kOther, SimulatedMidi::kLate));
  const uint64_t delivered = midi_.delivered();
  midi_.RecordCalls(true);
  port_.Close();
  port_.Close();
  EXPECT_EQ(midi_.Calls(), close);
  EXPECT_EQ(midi_.delivered(), delivered + 4);
  EXPECT_FALSE(port_.IsOpen() || !driver_.Closed());
  EXPECT_TRUE(Holds(slot_.data(), {}));
  Exchange();  // on a closed pair: nothing leaves
  EXPECT_FALSE(port_.AwaitReply(kTimeout));
  EXPECT_EQ(midi_.Sent(0).size(), 1u);
}

TEST_F(PortPairTest, FailedOpenLeavesBothPortsClosedAndTheNextOpenWorks) {
  // A refused open of either port: the load test's busy rows.
  const struct {
    const char* name;
    void (*set)(midi::InPortFaults&);
  } cases[] = {
      {"input_reset", [](auto& in) { in.reset = Fails(); }},
      {"first_prepare", [](auto& in) { in.prepare = Fails(); }},
      {"first_add_buffer", [](auto& in) { in.add_buffer = Fails(); }},
      {"start", [](auto& in) { in.start = Fails(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    midi::InPortFaults faults;
    c.set(faults);
    midi_.SetInFaults(0, faults);
    EXPECT_FALSE(port_.Open(0, 0));
    EXPECT_FALSE(port_.IsOpen() || !driver_.Closed());
    midi_.SetInFaults(0, {});
    ASSERT_TRUE(port_.Open(0, 0));
    EXPECT_EQ(midi_.QueuedBuffers(0), 8u);
    ExpectHealthy();
    port_.Close();
  }
}

// A driver that refuses the request, never finishes it, or hands the reply back
// in a broken header (the stress test below draws none of these): the exchange
// ends at once, or at the send wait, with the slot untouched, and the port works on.
TEST_F(PortPairTest, DriverFaultsEndTheExchangeWithTheSlotUntouched) {
  const struct {
    const char* name;
    void (*set)(midi::OutPortFaults&);
    std::vector<uint32_t> send_waits;                       // refused: no completion to wait for
    midi::Corruption corruption = midi::Corruption::kNone;  // the reply's, injected
  } cases[] = {
      {"prepare_refused", [](auto& out) { out.prepare = Fails(); }, {}},
      {"long_msg_refused", [](auto& out) { out.long_msg = Fails(); }, {}},
      {"done_withheld", [](auto& out) { out.withhold_done = true; }, {5000}},
      {"count_past_buffer", [](auto&) {}, {5000}, midi::Corruption::kCountPastBuffer},
      {"foreign_header", [](auto&) {}, {5000}, midi::Corruption::kForeignHeader},
  };
  ASSERT_TRUE(port_.Open(0, 0));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool inject = c.corruption != midi::Corruption::kNone;
    peer_.replies = inject ? Replies{} : Replies{Long(kReply)};
    midi::OutPortFaults faults;
    c.set(faults);
    midi_.SetOutFaults(0, faults);
    const size_t sent = midi_.Sent(0).size(), waits = waits_.waits().size();
    const uint64_t delivered = midi_.delivered();
    Exchange();
    if (inject) midi_.Inject(Long(kReply), c.corruption);
    const std::vector<uint32_t> all = waits_.waits();
    EXPECT_EQ(std::vector<uint32_t>(all.begin() + long(waits), all.end()), c.send_waits);
    EXPECT_EQ(midi_.OutstandingSends(0), 0u);  // the driver handed the frame back
    EXPECT_FALSE(port_.AwaitReply(kTimeout));
    midi_.Drain();
    EXPECT_EQ(midi_.Sent(0).size() - sent, inject ? 1u : 0u);
    EXPECT_EQ(midi_.delivered() - delivered, inject ? 1u : 0u);
    EXPECT_TRUE(Holds(slot_.data(), {}));
    EXPECT_EQ(midi_.QueuedBuffers(0), 8u);
    midi_.SetOutFaults(0, {});
    ExpectHealthy();
  }
}

// A late reply copied just after the wait gave up, before AwaitReply disarms:
// it counts, and whole. The stress test's replies at the deadline may hit this.
TEST_F(PortPairTest, AReplyCopiedAsTheWaitGivesUpCounts) {
  ASSERT_TRUE(port_.Open(0, 0));
  peer_.replies = {Long(kReply, 5500)};
  Exchange();
  waits_.after_time_out = [this] { midi_.ReleaseHeld(); };
  EXPECT_TRUE(port_.AwaitReply(kTimeout));
  EXPECT_FALSE(port_.AwaitReply(kTimeout));  // consumed
  EXPECT_TRUE(Holds(slot_.data(), kReply));
  ExpectHealthy();
}

// What an exchange may end in. A success holds the reply to its request, cut to
// the slot (kUntouched: nothing).
enum Outcome { kSuccess, kUntouched, kTimeOut, kEither, kSuccessOrJunk };

// Thousands of exchanges in real time, each with a randomly chosen device
// behaviour, and Close/Open cycles in between. Requests and replies carry a
// sequence number: a success must hold the reply to its own request, and a
// slot that timed out is never written (it is freed at once, or watched).
// Device delays pass in a microsecond per millisecond.
TEST_F(PortPairTest, StressEveryExchangeHoldsItsOwnReplyOrNothing) {
  ASSERT_TRUE(port_.Open(0, 0));
  std::mt19937 rng(20261206);
  auto pick = [&rng](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(rng);
  };

  // Each sets the device up and returns what it answers the request with.
  const struct {
    Outcome outcome;
    std::function<Replies(Bytes&)> plan;
  } scenarios[] = {
      {kSuccess, [&](auto& r) { return Replies{Long(r, pick(0, 200))}; }},
      // just before or just after the time-out: the port waits 0.5 ms, the device 0.47 to 0.53
      {kEither, [&](auto& r) { return Replies{Long(r, pick(470, 530))}; }},
      {kTimeOut, [&](auto& r) { return Replies{Long(r, SimulatedMidi::kLate)}; }},
      {kUntouched, [&](auto& r) { return Replies{LongError(r, pick(0, 50))}; }},
      {kSuccess, [&](auto& r) { return Replies{Short(0x90, 60, 100), Long(r, pick(0, 30))}; }},
      // the second message must not overwrite the first
      {kSuccess, [&](auto& r) { return Replies{Long(r), Long(kOther, pick(0, 20))}; }},
      {kSuccess, [&](auto& r) { return Replies{Long(r), LongError(kOther)}; }},
      {kSuccess,
       [&](auto& r) {
         r.insert(r.end() - 1, pick(505, 1200), 0x55);  // longer than the slot
         return Replies{Long(r)};
       }},
      // unsolicited, arriving just before or after the slot is armed
      {kSuccessOrJunk,
       [&](auto& r) {
         midi_.Inject(Long(kOther, pick(0, 3)));
         return Replies{Long(r, pick(0, 10))};
       }},
      // messages in flight while the pair closes and opens again
      {kSuccess,
       [&](auto& r) {
         for (uint32_t n = pick(0, 12); n > 0; --n) {
           const uint32_t delay = pick(0, 3) == 0 ? SimulatedMidi::kLate : pick(0, 5);
           midi_.Inject(pick(0, 4) == 0 ? LongError(kOther, delay) : Long(kOther, delay));
         }
         port_.Close();
         EXPECT_TRUE(driver_.Closed());
         midi_.ReleaseHeld();
         EXPECT_TRUE(port_.Open(0, 0));
         midi_.Drain();
         EXPECT_EQ(midi_.QueuedBuffers(0), 8u);
         return Replies{Long(r)};
       }},
  };
  int successes = 0;

  for (int seq = 1; seq <= 8000; ++seq) {
    const size_t index = pick(0, std::size(scenarios) - 1);
    const Outcome outcome = scenarios[index].outcome;
    SCOPED_TRACE("exchange " + std::to_string(seq) + " scenario " + std::to_string(index));
    const Bytes request = {0xF0, 0x7E, uint8_t(seq & 0x7F), uint8_t(seq >> 7), 0xF7};
    Bytes reply = Frame(pick(8, 64), uint8_t(seq));
    std::copy_n(&request[1], 3, &reply[1]);
    peer_.replies = scenarios[index].plan(reply);
    reply.resize(std::min(reply.size(), kSlot));
    if (outcome == kUntouched) reply.clear();

    // On the heap like the commands' own: freed at once after a time-out (a
    // later write is a use after free) or kept and watched through the canary.
    auto slot = std::make_unique<uint8_t[]>(kSlot + kGuard);
    std::fill_n(slot.get(), kSlot + kGuard, kCanary);
    waits_.ns = 1000000;  // a wait that a reply ends may last the real 5 s
    port_.Send(request.data(), static_cast<uint32_t>(request.size()), {slot.get(), kSlot});
    waits_.ns = outcome == kTimeOut ? 1 : outcome == kEither ? 100 : 1000000;
    const bool delivered = port_.AwaitReply(kTimeout);

    if (!delivered && pick(0, 1) == 0) slot.reset();
    midi_.Drain();
    if (pick(0, 1) == 0) midi_.ReleaseHeld();  // otherwise the next layer call delivers it
    midi_.Drain();

    ASSERT_TRUE(outcome == kEither || delivered == (outcome != kTimeOut)) << delivered;
    if (delivered) {
      ++successes;
      ASSERT_TRUE(Holds(slot.get(), reply) ||
                  (outcome == kSuccessOrJunk && Holds(slot.get(), kOther)));
    } else if (slot) {
      ASSERT_TRUE(Holds(slot.get(), {})) << "a slot that timed out was written";
    }
    ASSERT_EQ(midi_.QueuedBuffers(0), 8u);
  }
  EXPECT_GT(successes, 4000);
  EXPECT_LT(successes, 7200);  // and a tenth at least timed out
}

}  // namespace
}  // namespace tamblet::test
