// Thousands of exchanges through the port pair and the simulated driver, each
// with a randomly chosen device behaviour, and Close/Open cycles in between.
// Every request and reply carries a sequence number: an exchange that succeeds
// must hold the reply to its own request, and a slot that timed out must never
// be written (the slot is freed at once or watched through a canary).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "midi/simulated/simulated_midi.h"
#include "midi/sysex_port.h"
#include "tests/midi/midi_test_support.h"
#include "tests/midi/port_waits.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TAMBLET_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TAMBLET_SANITIZED 1
#endif
#endif

namespace tamblet::test {
namespace {

using midi::SimulatedMidi;

#ifdef TAMBLET_SANITIZED
constexpr int kExchanges = 5000;
#else
constexpr int kExchanges = 8000;
#endif

constexpr uint32_t kTimeout = 5000;
constexpr size_t kSlot = 512;
constexpr size_t kGuard = 32;
constexpr uint8_t kCanary = 0xA5;

Bytes Request(uint32_t seq) {
  return {0xF0,
          0x7E,
          uint8_t(seq & 0x7F),
          uint8_t((seq >> 7) & 0x7F),
          uint8_t((seq >> 14) & 0x7F),
          uint8_t((seq >> 21) & 0x7F),
          0xF7};
}

uint32_t SeqOf(std::span<const uint8_t> request) {
  return request[2] | request[3] << 7 | request[4] << 14 | request[5] << 21;
}

// A reply of `length` bytes that names the request it answers.
Bytes Reply(uint32_t seq, size_t length) {
  Bytes bytes = Frame(length, static_cast<uint8_t>(seq));
  Bytes id = Request(seq);
  bytes[1] = 0x7D;
  std::copy(id.begin() + 2, id.begin() + 6, bytes.begin() + 2);
  return bytes;
}

const Bytes kJunk = Frame(20, 0x66);  // unsolicited: never a reply of ours

enum class Scenario {
  kReply,                  // one reply after a random delay: success
  kNearTimeOut,            // a reply just before or just after the time-out: either
  kLate,                   // held until after the time-out: time-out
  kLongError,              // success, slot untouched
  kShortsThenReply,        // short messages never answer: success
  kReplyThenUnsolicited,   // the second message must not overwrite the first
  kOversized,              // cut at the slot
  kNoReply,                // time-out
  kRefused,                // the driver refuses the request: time-out
  kUnsolicitedRacingSend,  // arrives just before or after arming: it or the reply
  kCloseOpen,              // messages in flight while the pair closes and opens
  kCount
};

struct Outcome {
  bool delivered;
  std::vector<Bytes> allowed;  // what a success may hold at the slot's start
};

TEST(PortPairStress, EveryExchangeHoldsItsOwnReplyOrNothing) {
  PortWaits driver_waits(100);  // device delays: 100 ns per ms
  PortWaits waits;
  SimulatedMidi midi(driver_waits);
  const uint32_t out = midi.AddOutPort(SimulatedMidi::Caps(37, 4, "QELMAR OUT 1"));
  const uint32_t in = midi.AddInPort(SimulatedMidi::Caps(37, 5, "QELMAR IN 1"));
  ScriptPeer peer;
  midi.Connect(&peer, out, in);
  CSysExPort port(midi, waits);
  ASSERT_TRUE(port.Open(out, in));

  std::mt19937 rng(20261206);
  auto pick = [&rng](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(rng);
  };
  int counts[static_cast<int>(Scenario::kCount)] = {};
  int successes = 0, time_outs = 0;

  for (uint32_t seq = 1; seq <= uint32_t{kExchanges}; ++seq) {
    const auto scenario = static_cast<Scenario>(pick(0, static_cast<int>(Scenario::kCount) - 1));
    ++counts[static_cast<int>(scenario)];
    SCOPED_TRACE("exchange " + std::to_string(seq) + " scenario " +
                 std::to_string(static_cast<int>(scenario)));

    const size_t length = scenario == Scenario::kOversized ? pick(513, 1200) : pick(8, 64);
    const Bytes reply = Reply(seq, length);
    std::vector<sim::Reply> replies;
    uint32_t await_scale = 1000000;  // nanoseconds per millisecond while awaiting
    Outcome expected{true, {Bytes(reply.begin(), reply.begin() + std::min(length, kSlot))}};
    bool either = false;

    switch (scenario) {
      case Scenario::kReply:
        replies = {Long(reply, pick(0, 2000))};
        break;
      case Scenario::kNearTimeOut:
        replies = {Long(reply, pick(4700, 5300))};
        await_scale = 100;  // the port waits 0.5 ms, the device 0.47 to 0.53 ms
        either = true;
        break;
      case Scenario::kLate:
        replies = {Long(reply, SimulatedMidi::kLate)};
        await_scale = 0;
        expected = {false, {}};
        break;
      case Scenario::kLongError:
        replies = {LongError(reply, pick(0, 500))};
        expected = {true, {}};
        break;
      case Scenario::kShortsThenReply:
        replies = {Short(0x90, 60, 100), Short(0xFE), Long(reply, pick(0, 300))};
        break;
      case Scenario::kReplyThenUnsolicited:
        replies = {Long(reply), Long(kJunk, pick(0, 200)), LongError(kJunk)};
        break;
      case Scenario::kOversized:
        replies = {Long(reply)};
        break;
      case Scenario::kNoReply:
        await_scale = 0;
        expected = {false, {}};
        break;
      case Scenario::kRefused:
        replies = {Long(reply)};
        await_scale = 0;
        expected = {false, {}};
        midi.SetOutFaults(out, With<midi::OutPortFaults>([](auto& f) {
                            f.long_msg = midi::Fault{midi::MMSYSERR_ERROR, 0};
                          }));
        break;
      case Scenario::kUnsolicitedRacingSend:
        replies = {Long(reply, pick(0, 100))};
        midi.Inject(Long(kJunk, pick(0, 30)));
        expected.allowed.push_back(kJunk);
        break;
      case Scenario::kCloseOpen: {
        const int n = static_cast<int>(pick(0, 12));
        for (int i = 0; i < n; ++i) {
          const uint32_t delay = pick(0, 3) == 0 ? SimulatedMidi::kLate : pick(0, 50);
          midi.Inject(pick(0, 4) == 0 ? LongError(kJunk, delay) : Long(kJunk, delay));
        }
        port.Close();
        ASSERT_FALSE(midi.IsInOpen(in));
        ASSERT_FALSE(midi.IsOutOpen(out));
        midi.ReleaseHeld();
        ASSERT_TRUE(port.Open(out, in));
        midi.Drain();
        ASSERT_EQ(midi.QueuedBuffers(in), 8u);
        replies = {Long(reply)};
        break;
      }
      case Scenario::kCount:
        break;
    }
    peer.Set([replies](std::span<const uint8_t> request) {
      // The device answers the request it got, whatever the test expected.
      std::vector<sim::Reply> answer = replies;
      const uint32_t got = SeqOf(request);
      for (sim::Reply& r : answer) {
        if (r.bytes.size() > 6 && r.bytes[1] == 0x7D) {
          Bytes id = Request(got);
          std::copy(id.begin() + 2, id.begin() + 6, r.bytes.begin() + 2);
        }
      }
      return answer;
    });

    // The slot lives on the heap like the commands' own; after a time-out it
    // is either freed at once (a later write is a use after free) or kept
    // and watched.
    auto slot = std::make_unique<uint8_t[]>(kSlot + kGuard);
    std::fill_n(slot.get(), kSlot + kGuard, kCanary);
    const bool free_on_time_out = pick(0, 1) == 0;

    const Bytes request = Request(seq);
    waits.set_scale_ns(1000000);
    port.Send(request.data(), static_cast<uint32_t>(request.size()), {slot.get(), kSlot});
    waits.set_scale_ns(await_scale);
    const bool delivered = port.AwaitReply(kTimeout);

    if (!delivered && free_on_time_out) slot.reset();
    midi.Drain();
    midi.SetOutFaults(out, {});
    if (pick(0, 1) == 0) midi.ReleaseHeld();  // otherwise the next layer call delivers it
    midi.Drain();

    if (!either) {
      ASSERT_EQ(delivered, expected.delivered);
    }
    if (delivered) {
      ++successes;
      bool matched = false;
      for (const Bytes& allowed : expected.allowed) {
        matched = matched || (std::equal(allowed.begin(), allowed.end(), slot.get()) &&
                              std::all_of(slot.get() + allowed.size(), slot.get() + kSlot + kGuard,
                                          [](uint8_t b) { return b == kCanary; }));
      }
      if (expected.allowed.empty()) {
        matched = std::all_of(slot.get(), slot.get() + kSlot + kGuard,
                              [](uint8_t b) { return b == kCanary; });
      }
      ASSERT_TRUE(matched) << "slot holds another reply: seq byte " << int(slot[2]);
    } else {
      ++time_outs;
      if (slot) {
        ASSERT_TRUE(std::all_of(slot.get(), slot.get() + kSlot + kGuard, [](uint8_t b) {
          return b == kCanary;
        })) << "a slot that timed out was written";
      }
    }
    ASSERT_EQ(midi.QueuedBuffers(in), 8u);
  }
  port.Close();
  midi.ReleaseHeld();

  for (int i = 0; i < static_cast<int>(Scenario::kCount); ++i) EXPECT_GT(counts[i], 0);
  EXPECT_GT(successes, kExchanges / 2);
  EXPECT_GT(time_outs, kExchanges / 10);
  std::printf("%d exchanges: %d replies, %d time-outs\n", kExchanges, successes, time_outs);
}

}  // namespace
}  // namespace tamblet::test
