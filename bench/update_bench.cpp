// A whole update of a 4 MiB image (two regions, every block present) through
// the dialog logic, the port pair and the in-process driver, against the
// simulated device. The five-second wait after opening the ports is skipped;
// replies are awaited in real time as in the program. What is measured is the
// host's own work per MiB: wall time, and the CPU time of every thread.

#include <benchmark/benchmark.h>

#include "app/update_dlg.h"
#include "bench/update_rig.h"
#include "tests/support/recording_window.h"
#include "tests/support/simulated_instrument.h"
#include "tests/support/update_files.h"

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 4u << 20;

void BM_FullUpdate(benchmark::State& state) {
  const std::string path =
      bench::SampleFile(kImageSize, {0, kImageSize / 2}, {kImageSize / 2, kImageSize / 2});
  for (auto _ : state) {
    state.PauseTiming();
    test::BasicInstrument<midi::PeerFor<sim::Device>> rig(bench::SampleDevice(kImageSize),
                                                          {"QELMAR SIM", {}, true});
    bench::NoOpenWait waits;
    test::RecordingWindow window;
    CUpdateDlg dlg(window, rig.midi, waits);
    dlg.OnInitDialog();
    window.AnswerFileDialog(path);
    dlg.OnBrowse();
    state.ResumeTiming();

    dlg.OnLoad();

    state.PauseTiming();
    if (!dlg.last_outcome().complete()) state.SkipWithError("the update did not complete");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kImageSize);
}
BENCHMARK(BM_FullUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace
}  // namespace tamblet

BENCHMARK_MAIN();
