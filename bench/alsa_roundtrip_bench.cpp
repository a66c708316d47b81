// Round trip of one request and its reply through the ALSA backend, against a
// device that is already attached (in the test VM: the USB MIDI gadget with
// tamblet-devsim behind it). Whether the raw ports or the sequencer carry the
// exchange depends on what else holds them when the bench starts; run it once
// with the ports free and once with them held to compare the two.
// Counters: median, 90th percentile and worst exchange, in ms.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>

#include "bench/roundtrip.h"
#include "instruments/port_rule.h"
#include "midi/alsa/alsa_midi.h"

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

void BM_AlsaGetModelName(benchmark::State& state) {
  bench::TimeExchanges(state, *layer, out_index, in_index, bench::ModelNameRequest());
}

void BM_AlsaWriteData2362(benchmark::State& state) {
  bench::TimeExchanges(state, *layer, out_index, in_index, bench::LargestWriteDataFrame());
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
