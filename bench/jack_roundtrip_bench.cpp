// Round trip of one request and its reply over a JACK server: the port pair on
// the JACK backend, tamblet-devsim as the device. Starts its own server on the
// dummy backend (period from TAMBLET_JACK_PERIOD, default 256, at 48 kHz).
// Counters: median and 90th percentile of the exchanges, in ms and in periods.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/roundtrip.h"
#include "midi/jack/jack_midi.h"

extern char** environ;

namespace tamblet {
namespace {

constexpr double kSampleRate = 48000.0;

struct Setup {
  std::string state_dir;
  std::string server;
  pid_t devsim = -1;
  std::unique_ptr<midi::MidiLayer> layer;
  uint32_t out = 0;
  uint32_t in = 0;
  double period_ms = 0;
};

Setup* setup = nullptr;

std::optional<uint32_t> Find(midi::MidiLayer& layer, const std::string& name, bool output) {
  const uint32_t count = output ? layer.OutGetNumDevs() : layer.InGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    midi::MidiCaps caps;
    if ((output ? layer.OutGetDevCaps(i, &caps) : layer.InGetDevCaps(i, &caps)) != 0) continue;
    if (std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname)) == name) return i;
  }
  return std::nullopt;
}

bool Start(Setup& s) {
  char pattern[] = "/tmp/tamblet-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  s.state_dir = pattern;
  const char* period = std::getenv("TAMBLET_JACK_PERIOD");
  s.period_ms = (period != nullptr ? std::atof(period) : 256.0) / kSampleRate * 1000.0;
  const std::string start =
      std::string("'") + TAMBLET_JACK_SCRIPT + "' start " + s.state_dir + "/state >&2";
  if (std::system(start.c_str()) != 0) return false;
  std::ifstream(s.state_dir + "/state") >> s.server;

  const std::string client = "QELMAR BENCH" + std::to_string(getpid());
  std::vector<std::string> args = {TAMBLET_DEVSIM, "--quiet", "--server",
                                   s.server,       "--name",  client};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (posix_spawn(&s.devsim, TAMBLET_DEVSIM, nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  midi::JackMidiOptions options;
  options.server_name = s.server;
  // The device's ports appear once it has started; a layer lists the ports
  // once, so each look is through a new one.
  for (int i = 0; i < 500; ++i) {
    s.layer = midi::CreateJackMidiLayer(options);
    const auto out = Find(*s.layer, client + " OUT 1", true);
    const auto in = Find(*s.layer, client + " IN 1", false);
    if (out && in) {
      s.out = *out;
      s.in = *in;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void Stop(Setup& s) {
  s.layer.reset();
  if (s.devsim > 0) {
    kill(s.devsim, SIGTERM);
    waitpid(s.devsim, nullptr, 0);
  }
  if (!s.state_dir.empty()) {
    const std::string stop =
        std::string("'") + TAMBLET_JACK_SCRIPT + "' stop " + s.state_dir + "/state >&2";
    std::system(stop.c_str());
    std::system(("rm -rf '" + s.state_dir + "'").c_str());
  }
}

// The median also in periods: how many cycles of the server an exchange takes.
void Exchange(benchmark::State& state, const std::vector<uint8_t>& request) {
  const double median = bench::TimeExchanges(state, *setup->layer, setup->out, setup->in, request);
  if (median > 0) state.counters["median_periods"] = median / setup->period_ms;
}

void BM_JackGetModelName(benchmark::State& state) { Exchange(state, bench::ModelNameRequest()); }

void BM_JackWriteData2362(benchmark::State& state) {
  Exchange(state, bench::LargestWriteDataFrame());
}

}  // namespace
}  // namespace tamblet

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tamblet::Setup s;
  tamblet::setup = &s;
  if (!tamblet::Start(s)) {
    std::fprintf(stderr, "cannot start the JACK server and tamblet-devsim\n");
    tamblet::Stop(s);
    return 1;
  }
  for (auto* bench :
       {benchmark::RegisterBenchmark("BM_JackGetModelName", tamblet::BM_JackGetModelName),
        benchmark::RegisterBenchmark("BM_JackWriteData2362", tamblet::BM_JackWriteData2362)}) {
    bench->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tamblet::Stop(s);
  return 0;
}
