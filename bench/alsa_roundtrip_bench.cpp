// Round trip of one request and its reply through the ALSA backend, against a
// device that is already attached (in the test VM: the USB MIDI gadget with
// tamblet-devsim behind it). Whether the raw ports or the sequencer carry the
// exchange depends on what else holds them when the bench starts; run it once
// with the ports free and once with them held to compare the two.
// Counters: median, 90th percentile and worst exchange, in ms.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "app/port_discovery.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/sysex_port.h"
#include "protocol/frame.h"

namespace tamblet {
namespace {

std::unique_ptr<midi::MidiLayer> layer;
uint32_t out_index = 0, in_index = 0;

std::optional<uint32_t> FindDevicePort(bool output) {
  const uint32_t count = output ? layer->OutGetNumDevs() : layer->InGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    midi::MidiCaps caps;
    if ((output ? layer->OutGetDevCaps(i, &caps) : layer->InGetDevCaps(i, &caps)) != 0) continue;
    if (AcceptPort(caps, output ? PortDirection::kOutput : PortDirection::kInput)) return i;
  }
  return std::nullopt;
}

void Exchange(benchmark::State& state, const std::vector<uint8_t>& request) {
  CSysExPort port(*layer);
  if (!port.Open(out_index, in_index)) {
    state.SkipWithError("open failed");
    return;
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
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  state.counters["median_ms"] = times[times.size() / 2];
  state.counters["p90_ms"] = times[times.size() * 9 / 10];
  state.counters["max_ms"] = times.back();
}

void BM_AlsaGetModelName(benchmark::State& state) {
  Exchange(state, {0xF0, 0x43, 0x50, 0x03, 0x00, 0x00, 0x02, 0xF7});
}

void BM_AlsaWriteData2362(benchmark::State& state) {
  std::vector<uint8_t> data(kMaxWriteDataBytes, 0x5A);
  std::vector<uint8_t> frame(kMaxWriteDataFrame);
  frame.resize(
      static_cast<size_t>(BuildWriteData(frame.data(), 0, data.data(), kMaxWriteDataBytes)));
  Exchange(state, frame);
}

}  // namespace
}  // namespace tamblet

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tamblet::layer = tamblet::midi::CreateAlsaMidiLayer();
  const auto out = tamblet::FindDevicePort(true);
  const auto in = tamblet::FindDevicePort(false);
  if (!out || !in) {
    std::fprintf(stderr, "no device's port pair among the ALSA ports\n");
    return 1;
  }
  tamblet::out_index = *out;
  tamblet::in_index = *in;
  for (auto* bench :
       {benchmark::RegisterBenchmark("BM_AlsaGetModelName", tamblet::BM_AlsaGetModelName),
        benchmark::RegisterBenchmark("BM_AlsaWriteData2362", tamblet::BM_AlsaWriteData2362)}) {
    bench->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tamblet::layer.reset();
  return 0;
}
