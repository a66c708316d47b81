// Load from the file to the last status text, through the real dialog logic,
// port pair and in-process driver, against the simulated device.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/update_dlg.h"
#include "midi/device_lock.h"
#include "tests/support/failing_new.h"
#include "tests/support/recording_window.h"
#include "tests/support/simulated_instrument.h"
#include "tests/support/update_files.h"
#include "update/update_sequence.h"

// The file stage allocates its read buffer and then the image with nothrow
// new[], which failing_new.h can make fail.

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 0x20000;
using C = sim::Command;

// Chunks of 0x4000 unless told, target 2.
std::string TestFile(Region r0, Region r1, uint32_t chunk = 0x4000) {
  return test::TempUpdateFile({"MODEL-X", {}, 2, chunk, kImageSize, {r0, r1}},
                              test::SampleImage(kImageSize));
}

// 128 KiB of erased flash, a progress reply every 32 KiB.
sim::DeviceConfig Config() { return {"MODEL-X", kImageSize, 0xFF, {}, 0x8000}; }

// One dialog wired to the simulated device, as the program wires it to a real
// one; another program's output is listed first.
struct LoadRig : test::SimulatedInstrument {
  LoadRig()
      : test::SimulatedInstrument(Config(),
                                  {"QELMAR SIM", {test::OtherOutput("Other synth OUT 1")}}) {
    midi.SetLateAfter(kReplyTimeoutMs);
  }
  // Discovery (if asked), Browse to `path`, then Load; returns the last status text.
  std::string Load(const std::string& path, bool discover = true) {
    EXPECT_TRUE(!discover || dlg.OnInitDialog());
    window.AnswerFileDialog(path);
    dlg.OnBrowse();
    window.ClearTrace();
    dlg.OnLoad();
    return window.GetWindowText(IDC_STATUS);
  }
  test::RecordingWindow window;
  CUpdateDlg dlg{window, midi, waits};
};

// Each used region is written in pieces, uninstalled, installed and verified,
// and the flash holds the image there and nothing elsewhere.
TEST(Load, RegionsLandInTheDevice) {
  const struct {
    uint32_t chunk;
    Region r0, r1;
    std::string loading;  // the Loading percentages in order
    std::string verify;   // progress during Verify
  } cases[] = {
      {0x4000, {0, 0x9000}, {0x10000, 0x6001}, "  0, 44, 88,  0, 66,", " R3 P0 D D D R2 P0 D D"},
      {0x1000, {0, 0}, {0x100, 0}, "", ""},  // both empty: no Uninstall, Install or VerifySum
      {0x8000, {0, 0x18000}, {0, 0}, "  0, 33, 66,", " R3 P0 D D D"},
      {0x4000, {0x10, 0}, {0x100, 0x80}, "  0,", " R1 P0 D"},  // smaller than a frame
      {0x1000, {0, 0x1001}, {0, 0}, "  0, 99,", " R2 P0 D D"},
  };
  const auto image = test::SampleImage(kImageSize);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.loading);
    LoadRig rig;
    ASSERT_EQ(rig.Load(TestFile(c.r0, c.r1, c.chunk)), "Complete!");
    std::string loading;
    const std::string trace = rig.window.Trace();
    // The percentage after each "[Loading.... (" (at is one past the bracket).
    for (size_t at = 0; (at = trace.find("[Loading.... (", at) + 1) != 0;)
      loading += trace.substr(at + 13, 3) + ",";
    EXPECT_EQ(loading, c.loading);
    EXPECT_TRUE(trace.ends_with("[Verifying....]" + c.verify + "[Complete!]")) << trace;
    // Every step is told once, in order, whether or not it shows a text.
    std::vector<LoadStep> steps;
    for (int s = 0; s <= int(LoadStep::kComplete); ++s) steps.push_back(LoadStep(s));
    EXPECT_EQ(rig.window.Steps(), steps);
    // Copy over the image, then Uninstall and Install per used region, each run to its end.
    std::vector<std::tuple<C, uint32_t, uint32_t, bool>> ops,
        expected{{C::kCopy, 0, kImageSize, true}};
    std::vector<uint8_t> flash(kImageSize, 0xFF);
    for (const Region& r : {c.r0, c.r1})
      std::copy_n(image.begin() + r.address, r.size, flash.begin() + r.address);
    for (C command : {C::kUninstall, C::kInstall})
      for (const Region& r : {c.r0, c.r1})
        if (r.size != 0) expected.emplace_back(command, r.address, r.size, true);
    for (const auto& op : rig.device.operations())
      ops.emplace_back(op.command, op.start, op.count, op.completed);
    EXPECT_EQ(ops, expected);
    EXPECT_TRUE(rig.device.flash() == flash);
    const sim::DeviceStats stats = rig.device.stats();
    EXPECT_EQ(stats.refusals + stats.ignored + stats.sum_mismatches, 0u);
    EXPECT_EQ(stats.bytes_written, c.r0.size + c.r1.size);
    EXPECT_EQ(rig.device.selected_target(), 2);
    EXPECT_EQ(std::ranges::count(rig.device.log(), C::kVerifySum, &sim::RequestRecord::command),
              std::ranges::count(c.verify, 'D'));
    EXPECT_EQ(rig.waits.sleeps(), std::vector<uint32_t>(5, 1000));
    for (uint32_t ms : rig.waits.waits()) EXPECT_EQ(ms, kReplyTimeoutMs);
  }
}

// A fault at the device, or a stop requested while a request is with it (no
// fault given): that exchange ends, no request follows, the step's failure text
// stays and the ports close. The next Load, on a fresh device, knows nothing of
// it: every step shows its progress afresh.
TEST(Load, FaultsAndStopsEndTheRunAtThatExchange) {
  using S = LoadStep;
  const struct {
    C at;  // the n-th arrival of this request fails or brings the stop
    int n;
    const char* fault;  // nullptr: a stop
    const char* text;
    LoadStep step;  // where the run says it ended
  } cases[] = {
      {C::kGetModelName, 1, "no-reply", "Get model name failed!!", S::kGetModelName},
      {C::kGetModelName, 1, "long-name", "Compare model name error!!", S::kCompareModelName},
      {C::kSelectDevice, 1, "fail-status", "Select Device failed!!", S::kSelectDevice},
      {C::kContinue, 300, nullptr, "Copy failed!!", S::kCopy},  // in an operation that never ends
      {C::kWriteData, 3, nullptr, "Load failed!!", S::kLoad},
      // A broken reply after good ones must not pass for the previous acknowledgement.
      {C::kSetRange, 1, "fail-status", "Copy failed!!", S::kCopy},
      {C::kContinue, 1, "long-error", "Copy failed!!", S::kCopy},
      {C::kWriteData, 5, "long-error", "Load failed!!", S::kLoad},
      {C::kUninstall, 1, "long-error", "Uninstall failed!!", S::kUninstall},
      {C::kInstall, 2, "no-reply", "Install failed!!", S::kInstall},
      {C::kVerifySum, 1, "late", "Verify error!!", S::kVerify},
      {C::kModeOff, 1, "no-reply", "Mode off error!!", S::kModeOff},
      {C::kModeOff, 1, nullptr, "Complete!", S::kComplete},  // nothing left to stop
  };
  const std::string file = TestFile({0, 0x9000}, {0x10000, 0x6001});
  // A clean Load of it: file stage; open and five waits; Copy of 0x20000 in
  // chunks of 0x4000 with progress every 0x8000; pieces of eight frames, the
  // range counting whole frames only; Uninstall, Install and Verify per region.
  const std::string frames = " R8 P0 D D D D D D D D";
  const std::string clean =
      " R2 P0[File reading....] P1 P2 R5 P0[Device open....] P1 P2 P3 P4 P5[Copying....] R8 P0 P2 "
      "P4 P6[Loading.... (  0%)]" +
      frames + "[Loading.... ( 44%)]" + frames +
      "[Loading.... ( 88%)] R2 P0 D D[Loading.... (  0%)]" + frames +
      "[Loading.... ( 66%)] R4 P0 D D D D D[Uninstalling....] R2 P0 P2 R1 P0[Installing....] R2 "
      "P0 P2 R1 P0[Verifying....] R3 P0 D D D R2 P0 D D[Complete!]";
  for (const auto& c : cases) {
    const std::string rule = std::string(sim::CommandName(c.at)) + ":" + std::to_string(c.n) + ":" +
                             (c.fault ? c.fault : "stop");
    SCOPED_TRACE(rule);
    LoadRig rig;
    rig.peer.endless = !c.fault && c.at == C::kContinue;
    int seen = 0;
    rig.peer.on_request = [&](C command) {
      if (!c.fault && command == c.at && ++seen == c.n) rig.dlg.RequestStop();
    };
    const auto fault = sim::ParseFaultRule(rule);
    ASSERT_TRUE(!c.fault || (fault && rig.device.InjectFault(*fault)));
    EXPECT_EQ(rig.Load(file), c.text);
    EXPECT_EQ(rig.dlg.last_outcome(), (LoadOutcome{c.step, c.text}));
    EXPECT_EQ(rig.window.Steps().back(), c.step);
    const auto commands = rig.peer.commands();
    EXPECT_EQ(commands.back(), c.at);
    EXPECT_EQ(std::ranges::count(commands, c.at), c.n);
    EXPECT_TRUE(rig.Closed());
    // A held late reply was handed over at the pair's Close at the latest, after
    // its slot was released; ASan would see a write into it.
    rig.midi.ReleaseHeld();
    rig.midi.Drain();
    sim::Device fresh(Config());
    midi::PeerFor<sim::Device> peer(fresh);
    rig.Connect(peer);
    rig.Load(file, false);
    EXPECT_EQ(rig.window.Trace(), clean);
    EXPECT_TRUE(rig.dlg.last_outcome().complete());
  }
}

// The companion tool's verdict on `path`: the text after "verdict: ".
std::string ToolVerdict(const std::string& path) {
  const std::string command =
      "ASAN_OPTIONS=$ASAN_OPTIONS:allocator_may_return_null=1 "
      "TSAN_OPTIONS=$TSAN_OPTIONS:allocator_may_return_null=1 '" TAMBLET_PGM_PATH "' inspect '" +
      path + "' 2>&1 | sed -n 's/^verdict: //p'";
  FILE* out = ::popen(command.c_str(), "r");
  char line[512] = "";
  const bool read = out && std::fgets(line, sizeof line, out) != nullptr;
  if (out) ::pclose(out);
  return read ? std::string(line, std::strcspn(line, "\n")) : "";
}

TEST(Load, FailuresBeforeTheDeviceNeverOpenIt) {
  auto bad = WriteUpdateFile({"MODEL-X", {}, 2, 0x4000, kImageSize, {{0, 0x1000}, {}}},
                             test::SampleImage(kImageSize), BlockChoice::kAll);
  bad[200] ^= 1;  // a block's checksum no longer holds
  const midi::PortHolder amidi{4321, "amidi"}, other{99, "other"};
  using Out = midi::OutPortFaults;
  using In = midi::InPortFaults;
  const auto held = [](auto faults, midi::MMRESULT open, std::optional<midi::PortHolder> by) {
    return faults.open = open, faults.holder = by, faults;
  };
  constexpr midi::MMRESULT kBusy = midi::MMSYSERR_ALLOCATED;
  // Paths that are no update file, whatever their name says.
  const std::filesystem::path dir = test::TempPath();
  std::filesystem::create_directories(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  std::ofstream(dir / "sparse").close();
  std::filesystem::resize_file(dir / "sparse", uint64_t{8} << 40);  // far beyond any memory

  const std::string d = dir.string() + "/", g = TestFile({0, 0x1000}, {0, 0}),
                    opened = " R2 P0[File reading....]";
  const std::string not_found = opened + "[File not found!!]",
                    no_memory = "[Not enough memory! try closing some applications",
                    open_failed = "[Device open....][Device open failed!!]",
                    box = "{" + BusyPortText(amidi) + "}";
  using S = LoadStep;
  const struct {
    std::string path;       // "": the file dialog was cancelled
    std::string trace_end;  // a message box as {text}
    LoadStep step;          // where the run says it ended
    midi::OutPortFaults out = {};
    midi::InPortFaults in = {};
    bool discover = true;
    int failing_allocation = -1;  // which nothrow new[] of the Load fails; -1: none
  } cases[] = {
      {"", not_found, S::kReadFile},
      {d + "folder", not_found, S::kReadFile},
      {d + "fifo", not_found, S::kReadFile},
      {d + "zero", not_found, S::kReadFile},
      {d + "sparse", opened + no_memory + ".]", S::kReadFile},
      // sysfs measures its files as 4096 bytes and reads a few.
      {"/sys/devices/system/cpu/online", opened + "[File read error!!]", S::kReadFile},
      {g, " P1" + no_memory + "]", S::kCheckFile, {}, {}, true, 1},  // the image's allocation
      {test::WriteTempFile(bad), " P1[File format error!!]", S::kCheckFile},
      {g, open_failed, S::kOpenPorts, {}, {}, false},  // ports never found
      {g, open_failed, S::kOpenPorts, held(Out{}, kBusy, {})},
      // The box names who holds the port that failed, after the status text.
      {g, open_failed + box, S::kOpenPorts, held(Out{}, kBusy, amidi), held(In{}, 0, other)},
      {g, open_failed + box, S::kOpenPorts, held(Out{}, 0, other), held(In{}, kBusy, amidi)},
      {g, open_failed, S::kOpenPorts, held(Out{}, midi::MMSYSERR_ERROR, amidi)},  // no holder
      // No safe folder for the device's lock: the box says why, from the backend's Take.
      {g, open_failed + "{" + NoLockText("/dev/null is not a folder") + "}", S::kOpenPorts,
       held(Out{}, midi::TAMBLET_ERR_NOLOCK, {})},
  };
  midi::DeviceLock refused;  // leaves its reason on this thread, as a backend's open would
  ASSERT_EQ(refused.Take(midi::LockFolder::Open(nullptr, "/dev/null"), "port"),
            midi::DeviceLock::Result::kNoLock);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.trace_end);
    if (c.path.starts_with("/sys/") && !std::filesystem::exists(c.path)) continue;  // no sysfs
    LoadRig rig;
    rig.midi.SetOutFaults(rig.out, c.out);
    rig.midi.SetInFaults(rig.in, c.in);
    test::allocations_until_failure = c.failing_allocation;
    rig.Load(c.path, c.discover);
    test::allocations_until_failure = -1;
    // The companion tool reads with Load's reader and judges alike.
    if (!c.path.empty() && c.failing_allocation < 0 && !c.trace_end.starts_with("[Device")) {
      EXPECT_EQ(ToolVerdict(c.path), rig.window.GetWindowText(IDC_STATUS));
    }
    EXPECT_TRUE(rig.window.Trace().ends_with(c.trace_end)) << rig.window.Trace();
    EXPECT_EQ(rig.dlg.last_outcome(), (LoadOutcome{c.step, rig.window.GetWindowText(IDC_STATUS)}));
    EXPECT_TRUE(rig.device.log().empty());
    EXPECT_TRUE(rig.Closed());
  }
}

// Kept off by another update's lock: the box names who runs it, once Load is
// done. On a server without real-time scheduling the box comes before the
// ports open, and the update goes on.
TEST(Load, AnotherUpdateAndAServerWithoutRealTimeAreSaid) {
  const std::string file = TestFile({0, 0x1000}, {0, 0}), folder = test::TempPath();
  midi::DeviceLock first, second;  // as a backend's open leaves the holder on this thread
  ASSERT_EQ(first.Take(midi::LockFolder::Open(nullptr, folder), "p"),
            midi::DeviceLock::Result::kTaken);
  ASSERT_EQ(second.Take(midi::LockFolder::Open(nullptr, folder), "p"),
            midi::DeviceLock::Result::kHeld);
  const midi::PortHolder us = midi::DeviceLockHolder().value_or(midi::PortHolder{});
  ASSERT_EQ(us.pid, static_cast<uint32_t>(::getpid()));
  {
    LoadRig rig;
    midi::OutPortFaults locked;
    locked.open = midi::TAMBLET_ERR_LOCKED;
    rig.midi.SetOutFaults(rig.out, locked);
    EXPECT_EQ(rig.Load(file), "Device open failed!!");
    EXPECT_TRUE(rig.window.Trace().ends_with(
        "[Device open failed!!]{The instrument is being updated by " + us.name + " (process " +
        std::to_string(us.pid) + "): wait until that update has ended, then press Load again.}"))
        << rig.window.Trace();
    EXPECT_TRUE(rig.device.log().empty());
  }
  {
    LoadRig rig;
    midi::InPortFaults slow;
    slow.non_realtime_server = "JACK server \"x\"";
    rig.midi.SetInFaults(rig.in, slow);
    EXPECT_EQ(rig.Load(file), "Complete!");
    const std::string trace = rig.window.Trace();
    const size_t box = trace.find("{" + NotRealTimeText("JACK server \"x\"") + "}");
    EXPECT_GT(box, trace.find("[Device open....]")) << trace;
    EXPECT_EQ(trace.find('{', box + 1), std::string::npos) << trace;  // said once
    EXPECT_FALSE(rig.device.log().empty());
    EXPECT_LT(box, trace.find(" P1", trace.find("[Device open....]")))
        << "before the wait: " << trace;
  }
}

// A stop now, flipped before the run: no port opens and nothing reaches the
// device; the run ends at the open with its text.
TEST(Load, AStopNowOpensNoPort) {
  struct Texts final : RunObserver {
    void OnStep(LoadStep) override {}
    void OnStatus(const char* text) override { last = text; }
    void OnProgress(const RunProgress&) override {}
    void OnPorts(const std::string&, const std::string&) override {}
    void OnNotice(const Notice&) override {}
    std::string last;
  } texts;
  FileBytes bytes;
  CheckedUpdate update;
  ASSERT_FALSE(ReadUpdateFile(TestFile({0, 0x1000}, {0, 0}), bytes, texts));
  ASSERT_FALSE(CheckUpdateFile({bytes.data.get(), bytes.length}, update, texts));
  LoadRig rig;
  StopToken stop;
  stop.Force();
  rig.midi.RecordCalls(true);
  EXPECT_EQ(RunUpdate(update, {rig.out, rig.in, "", ""}, rig.midi, texts, stop, rig.waits),
            (LoadOutcome{LoadStep::kOpenPorts, "Device open failed!!"}));
  EXPECT_EQ(texts.last, "Device open failed!!");
  EXPECT_EQ(rig.midi.Calls(), std::vector<std::string>{});
  EXPECT_TRUE(rig.device.log().empty());
}

TEST(Load, LoadingTextAndModelNames) {
  // (size - remaining) * 100 passes 2^32: 32-bit arithmetic would not show 99%.
  char text[32];
  FormatLoadingText(text, 0xFFFFFFFFu, 1);
  EXPECT_STREQ(text, "Loading.... ( 99%)");
  // Names match up to and including the NUL; sixteen bytes without one never do.
  const char expected[16] = "MODEL-X";
  const struct {
    char reported[16];
    bool match;
  } names[] = {{"MODEL-X\0junk", true}, {"model-x", false}, {"MODEL-X2", false}};
  for (const auto& c : names)
    EXPECT_EQ(ModelNamesMatch(c.reported, expected), c.match) << c.reported;
  char full[16];
  std::memset(full, 'A', 16);
  EXPECT_FALSE(ModelNamesMatch(full, full));
}

}  // namespace
}  // namespace tamblet
