// tamblet-devsim: the simulated device as a JACK client, so that the program
// finds it like the real device ("<client> OUT 1" / "<client> IN 1"), or on a
// raw MIDI device file such as the device side of a USB MIDI gadget.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string_view>
#include <vector>

#include "base/standard_descriptors.h"
#include "sim/devsim/devsim_options.h"
#ifdef TAMBLET_HAVE_JACK
#include "sim/devsim/jack_device_host.h"
#endif
#include "sim/devsim/raw_device_host.h"

namespace {

volatile sig_atomic_t host_gone = 0;

// From a JACK or worker thread: only async-signal-safe calls.
void OnHostGone() {
  host_gone = 1;
  kill(getpid(), SIGTERM);
}

bool WriteDump(const std::string& path, const std::vector<uint8_t>& flash) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(flash.data()),
             static_cast<std::streamsize>(flash.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tamblet::sim;
  tamblet::OpenClosedStandardDescriptors();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto parsed = ParseDevsimOptions(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "tamblet-devsim: %s\n%s", error->c_str(), DevsimUsage().c_str());
    return 2;
  }
  const DevsimOptions& options = std::get<DevsimOptions>(parsed);
  if (options.help) {
    std::fputs(DevsimUsage().c_str(), stdout);
    return 0;
  }
  if (options.version) return std::puts("tamblet-devsim " TAMBLET_VERSION) < 0;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  Device device(options.device);
  for (const FaultRule& rule : options.faults) {
    if (!device.InjectFault(rule)) {
      std::fprintf(stderr, "tamblet-devsim: fault does not fit: %s\n",
                   FormatFaultRule(rule).c_str());
      return 2;
    }
  }

  // Blocked here, before any thread exists, so that only sigwait below sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  uint64_t requests = 0;
  auto log = [&](std::span<const uint8_t> request, const std::vector<Reply>& replies) {
    ++requests;
    if (!options.quiet) {
      std::printf("%llu %s\n", static_cast<unsigned long long>(requests),
                  DescribeExchange(request, replies).c_str());
    }
  };
  const bool raw = !options.raw_path.empty();
#ifdef TAMBLET_HAVE_JACK
  JackDeviceHost jack(device, log, OnHostGone);
#endif
  RawDeviceHost raw_host(device, log, OnHostGone);
  std::string error;
#ifdef TAMBLET_HAVE_JACK
  if (raw ? !raw_host.Start(options.raw_path, &error)
          : !jack.Start(options.client_name, options.server_name, &error)) {
#else
  if (!raw) error = "built without JACK: only --raw works";
  if (!raw || !raw_host.Start(options.raw_path, &error)) {
#endif
    std::fprintf(stderr, "tamblet-devsim: %s\n", error.c_str());
    return 1;
  }
  if (!options.quiet) {
    std::printf("ready: \"%s\" model \"%s\", flash %u bytes\n",
                raw ? options.raw_path.c_str() : options.client_name.c_str(),
                options.device.model_name.c_str(), options.device.flash_size);
  }

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
#ifdef TAMBLET_HAVE_JACK
  jack.Stop();
#endif
  raw_host.Stop();

  int result = 0;
  if (host_gone != 0) {
    std::fprintf(stderr, raw ? "tamblet-devsim: the MIDI device went away\n"
                             : "tamblet-devsim: the JACK server went away\n");
    result = 1;
  }
#ifdef TAMBLET_HAVE_JACK
  if (jack.dropped_events() != 0) {
    std::fprintf(stderr, "tamblet-devsim: %llu MIDI events lost\n",
                 static_cast<unsigned long long>(jack.dropped_events()));
  }
#endif
  if (!options.dump_path.empty() && !WriteDump(options.dump_path, device.flash())) {
    std::fprintf(stderr, "tamblet-devsim: cannot write %s\n", options.dump_path.c_str());
    result = 1;
  }
  if (!options.quiet) {
    const DeviceStats stats = device.stats();
    std::printf("end: %llu requests, %llu data bytes written\n",
                static_cast<unsigned long long>(stats.requests),
                static_cast<unsigned long long>(stats.bytes_written));
  }
  return result;
}
