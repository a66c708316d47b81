// One request/reply exchange (8 bytes each way) through the port pair and the
// in-process driver with a device that echoes, against the floor for any
// two-thread design: a bare condition-variable ping-pong between two threads.

#include <benchmark/benchmark.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "midi/sysex_port.h"
#include "tests/support/simulated_instrument.h"

namespace tamblet {
namespace {

class EchoPeer : public midi::Peer {
 public:
  std::vector<sim::Reply> OnRequest(std::span<const uint8_t> request) override {
    return {{sim::Reply::Kind::kLongData, {request.begin(), request.end()}, 0}};
  }
};

void BM_PortPairExchange(benchmark::State& state) {
  EchoPeer peer;
  test::InstrumentDriver driver(peer, {"QELMAR SIM", {}, true});
  CSysExPort port(driver.midi);
  if (!port.Open(driver.out, driver.in)) {
    state.SkipWithError("open failed");
    return;
  }
  const std::array<uint8_t, 8> request = {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7};
  std::array<uint8_t, 512> slot{};
  for (auto _ : state) {
    port.Send(request.data(), request.size(), slot);
    if (!port.AwaitReply(5000)) {
      state.SkipWithError("no reply");
      break;
    }
    benchmark::DoNotOptimize(slot[6]);
  }
  port.Close();
}
BENCHMARK(BM_PortPairExchange)->UseRealTime();

void BM_CondVarPingPong(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable cv;
  enum { kIdle, kPing, kPong, kStop } turn = kIdle;
  std::thread other([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      cv.wait(lock, [&] { return turn == kPing || turn == kStop; });
      if (turn == kStop) return;
      turn = kPong;
      cv.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    turn = kPing;
    cv.notify_all();
    cv.wait(lock, [&] { return turn == kPong; });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    turn = kStop;
    cv.notify_all();
  }
  other.join();
}
BENCHMARK(BM_CondVarPingPong)->UseRealTime();

}  // namespace
}  // namespace tamblet

BENCHMARK_MAIN();
