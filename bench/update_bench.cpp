// A whole update of a 4 MiB image (two regions, every block present) through
// the dialog logic, the port pair and the in-process driver, against the
// simulated device. The five-second wait after opening the ports is skipped;
// replies are awaited in real time as in the program. What is measured is the
// host's own work per MiB: wall time, and the CPU time of every thread.

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "app/update_dlg.h"
#include "sim/device.h"
#include "sim/simulated_midi.h"
#include "tests/support/recording_window.h"
#include "update/update_writer.h"

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 4u << 20;

// Real waits for replies; the fixed wait after the open takes no time.
class NoOpenWait : public WaitPolicy {
 public:
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms,
               const std::function<bool()>& ready) override {
    return RealTimeWaits().WaitFor(cv, lock, ms, ready);
  }
  void Sleep(uint32_t) override {}
};

std::string WriteSampleFile() {
  UpdateHeader header;
  std::strcpy(header.model_name, "BENCH-1");
  std::memcpy(header.version, "1.00", 4);
  header.target_select = 1;
  header.chunk_size = 0x10000;
  header.image_size = kImageSize;
  header.regions[0] = {0, kImageSize / 2};
  header.regions[1] = {kImageSize / 2, kImageSize / 2};
  std::vector<uint8_t> image(kImageSize);
  uint32_t x = 1;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  const auto bytes = WriteUpdateFile(header, image, BlockChoice::kAll);
  const auto path = std::filesystem::temp_directory_path() / "tamblet_update_bench.pgm";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path.string();
}

void BM_FullUpdate(benchmark::State& state) {
  const std::string path = WriteSampleFile();
  for (auto _ : state) {
    state.PauseTiming();
    sim::DeviceConfig config;
    config.model_name = "BENCH-1";
    config.flash_size = kImageSize;
    config.progress_step = 0x10000;
    sim::Device device(config);
    midi::PeerFor<sim::Device> peer(device);
    midi::SimulatedMidi midi;
    const uint32_t out = midi.AddOutPort(midi::MakeCaps(37, 4, "QELMAR SIM OUT 1"));
    const uint32_t in = midi.AddInPort(midi::MakeCaps(37, 5, "QELMAR SIM IN 1"));
    midi.Connect(&peer, out, in);
    NoOpenWait waits;
    test::RecordingWindow window;
    CUpdateDlg dlg(window, midi, waits);
    dlg.OnInitDialog();
    window.AnswerFileDialog(path);
    dlg.OnBrowse();
    state.ResumeTiming();

    dlg.OnLoad();

    state.PauseTiming();
    if (window.Text(IDC_STATUS) != "Complete!") state.SkipWithError("the update did not complete");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kImageSize);
}
BENCHMARK(BM_FullUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace
}  // namespace tamblet

BENCHMARK_MAIN();
