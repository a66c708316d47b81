#pragma once
// What the ALSA and JACK round-trip benchmarks share: the two requests, and
// the timed exchanges through a port pair with their counters.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

#include "midi/sysex_port.h"
#include "protocol/frame.h"

namespace tamblet::bench {

inline std::vector<uint8_t> ModelNameRequest() {
  return {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7};
}

// The largest request the update sends.
inline std::vector<uint8_t> LargestWriteDataFrame() {
  std::vector<uint8_t> data(kMaxWriteDataBytes, 0x5A);
  std::vector<uint8_t> frame(kMaxWriteDataFrame);
  frame.resize(
      static_cast<size_t>(BuildWriteData(frame.data(), 0, data.data(), kMaxWriteDataBytes)));
  return frame;
}

// One exchange per iteration; sets median_ms, p90_ms and max_ms and returns
// the median (0 when no exchange completed).
inline double TimeExchanges(benchmark::State& state, midi::MidiLayer& layer, uint32_t out,
                            uint32_t in, const std::vector<uint8_t>& request) {
  CSysExPort port(layer);
  if (!port.Open(out, in)) {
    state.SkipWithError("open failed");
    return 0;
  }
  std::array<uint8_t, 512> slot{};
  std::vector<double> times;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    port.Send(request.data(), static_cast<uint32_t>(request.size()), slot);
    if (!port.AwaitReply(5000)) {
      state.SkipWithError("no reply");
      break;
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  port.Close();
  if (times.empty()) return 0;
  std::sort(times.begin(), times.end());
  state.counters["median_ms"] = times[times.size() / 2];
  state.counters["p90_ms"] = times[times.size() * 9 / 10];
  state.counters["max_ms"] = times.back();
  return times[times.size() / 2];
}

}  // namespace tamblet::bench
