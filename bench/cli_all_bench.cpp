// tamblet-cli update --all against N simulated instruments in-process, each
// with its own driver thread and device, compared with one. A 1 MiB region per
// instrument; the five-second wait after opening the ports is skipped, replies
// are awaited in real time. The second argument is each reply's delay in ms:
// 0 shows the host's own work, 1 a device that takes its time to answer.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "bench/update_rig.h"
#include "cli/cli.h"
#include "midi/system/composite_midi_layer.h"
#include "sim/device.h"
#include "sim/simulated_midi.h"

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 1u << 20;

void BM_UpdateAll(benchmark::State& state) {
  const std::string path =
      bench::WriteSampleFile("tamblet_cli_all_bench.pgm", kImageSize, {0, kImageSize});
  const int instruments = static_cast<int>(state.range(0));
  const int null_fd = open("/dev/null", O_WRONLY);
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::unique_ptr<sim::Device>> devices;
    std::vector<std::unique_ptr<midi::PeerFor<sim::Device>>> peers;
    std::vector<std::unique_ptr<midi::MidiLayer>> layers;
    for (int k = 0; k < instruments; ++k) {
      sim::DeviceConfig config;
      config.model_name = "BENCH-1";
      config.flash_size = kImageSize;
      config.progress_step = 0x10000;
      config.reply_delay_ms = static_cast<uint32_t>(state.range(1));
      devices.push_back(std::make_unique<sim::Device>(config));
      peers.push_back(std::make_unique<midi::PeerFor<sim::Device>>(*devices.back()));
      auto midi = std::make_unique<midi::SimulatedMidi>();
      const std::string card = "QELMAR SIM" + std::to_string(k + 1);
      const uint32_t out =
          midi->AddOutPort(midi::MakeCaps(kMakerMid, kDeviceOutputPid, card + " OUT 1"));
      const uint32_t in =
          midi->AddInPort(midi::MakeCaps(kMakerMid, kDeviceInputPid, card + " IN 1"));
      midi->Connect(peers.back().get(), out, in);
      layers.push_back(std::move(midi));
    }
    midi::CompositeMidiLayer layer(std::move(layers));
    bench::NoOpenWait waits;
    cli::Cli cli(cli::CliContext{layer, waits, null_fd, null_fd, false, nullptr, nullptr,
                                 cli::SecondsSinceStart, nullptr});
    state.ResumeTiming();

    const int status = cli.Run({"update", path, "--all"});

    state.PauseTiming();
    if (status != cli::kExitComplete) state.SkipWithError("an update did not complete");
    state.ResumeTiming();
  }
  close(null_fd);
  state.SetBytesProcessed(int64_t(state.iterations()) * instruments * kImageSize);
}
BENCHMARK(BM_UpdateAll)
    ->ArgsProduct({{1, 2, 4, 8}, {0, 1}})
    ->ArgNames({"instruments", "reply_ms"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace tamblet

BENCHMARK_MAIN();
