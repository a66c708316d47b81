// tamblet-cli update --all against N simulated instruments in-process, each
// with its own driver thread and device, compared with one. A 1 MiB region per
// instrument; the five-second wait after opening the ports is skipped, replies
// are awaited in real time. The second argument is each reply's delay in ms:
// 0 shows the host's own work, 1 a device that takes its time to answer.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "bench/update_rig.h"
#include "cli/cli.h"
#include "tests/support/simulated_instrument.h"

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 1u << 20;

void BM_UpdateAll(benchmark::State& state) {
  const std::string path = bench::SampleFile(kImageSize, {0, kImageSize});
  const int instruments = static_cast<int>(state.range(0));
  const int null_fd = open("/dev/null", O_WRONLY);
  for (auto _ : state) {
    state.PauseTiming();
    test::BasicInstruments<midi::PeerFor<sim::Device>> rig(
        instruments, bench::SampleDevice(kImageSize, static_cast<uint32_t>(state.range(1))),
        {"QELMAR SIM", {}, true});
    bench::NoOpenWait waits;
    cli::Cli cli(cli::CliContext{
        .midi = *rig.layer, .waits = waits, .streams = {.out_fd = null_fd, .err_fd = null_fd}});
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
