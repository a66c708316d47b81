// Load from the file to the last status text, through the real dialog logic,
// port pair and in-process driver, against the simulated device.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "app/update_dlg.h"
#include "sim/device.h"
#include "sim/simulated_midi.h"
#include "tests/support/endless_device.h"
#include "tests/support/fast_waits.h"
#include "tests/support/recording_window.h"
#include "tests/support/settled_waits.h"
#include "update/update_sequence.h"
#include "update/update_writer.h"

// Lets a test make the n-th next nothrow new[] fail: the file stage allocates
// its read buffer and then the image with it.
namespace {
std::atomic<int> allocations_until_failure{-1};  // negative: never fail
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  if (allocations_until_failure.fetch_sub(1) == 0) return nullptr;
  // Otherwise the allocator's own: a request beyond any memory fails as it
  // would there, also under AddressSanitizer, whose throwing new aborts.
  using NothrowNew = void* (*)(std::size_t, const std::nothrow_t&);
  static const auto next = reinterpret_cast<NothrowNew>(::dlsym(RTLD_NEXT, "_ZnamRKSt9nothrow_t"));
  return next(size, tag);
}

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 0x20000;
using C = sim::Command;

UpdateHeader TestHeader(Region r0, Region r1, uint32_t chunk = 0x4000) {
  return {"MODEL-X", {}, 2, chunk, kImageSize, {r0, r1}};
}

std::vector<uint8_t> TestImage() {
  std::vector<uint8_t> image(kImageSize);
  uint32_t x = 12345;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  return image;
}

// One dialog wired to the simulated device, as the program wires it to a real one.
struct LoadRig {
  explicit LoadRig(std::string model = "MODEL-X") : device_(Config(std::move(model))) {
    midi_.AddOutPort(midi::MakeCaps(1, 1, "Other synth OUT 1"));
    const uint32_t out = midi_.AddOutPort(midi::MakeCaps(37, 4, "QELMAR SIM OUT 1"));
    const uint32_t in = midi_.AddInPort(midi::MakeCaps(37, 5, "QELMAR SIM IN 1"));
    midi_.Connect(&peer_, out, in);
    midi_.SetLateAfter(kReplyTimeoutMs);
  }
  static sim::DeviceConfig Config(std::string model) {
    sim::DeviceConfig config;
    config.model_name = std::move(model);
    config.flash_size = kImageSize;
    config.progress_step = 0x8000;
    return config;
  }

  // Discovery (if asked), Browse to `file`, then Load; returns the last status text.
  std::string Load(const std::vector<uint8_t>& file, bool discover = true) {
    return LoadPath(WriteTemp(file), discover);
  }
  std::string LoadPath(const std::string& path, bool discover = true) {
    if (discover) {
      EXPECT_TRUE(dlg_.OnInitDialog());
    }
    window_.AnswerFileDialog(path);
    dlg_.OnBrowse();
    window_.ClearEvents();
    dlg_.OnLoad();
    return window_.Text(IDC_STATUS);
  }
  static std::string WriteTemp(const std::vector<uint8_t>& file) {
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const auto path = std::filesystem::path(testing::TempDir()) / (name + ".pgm");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    return path.string();
  }

  // Texts, boxes and progress in the order they came: "[text]", "{box}", R<max>,
  // P<pos>, D.
  std::string Trace() const {
    std::string out;
    for (const auto& e : window_.events()) {
      if (e.control == IDC_STATUS) out += "[" + e.text + "]";
      if (e.control == test::kMessageBoxEvent) out += "{" + e.text + "}";
      if (e.control != IDC_PROGRESS) continue;
      const auto& p = e.progress;
      if (p.msg == PBM_SETRANGE) out += " R" + std::to_string(p.lparam >> 16);
      if (p.msg == PBM_SETPOS) out += " P" + std::to_string(p.wparam);
      if (p.msg == PBM_DELTAPOS) out += " D";
    }
    return out;
  }
  std::vector<C> Commands() const {
    std::vector<C> out;
    for (const auto& r : device_.log()) out.push_back(r.command);
    return out;
  }
  bool PortsClosed() const { return !midi_.IsOutOpen(1) && !midi_.IsInOpen(0); }

  sim::Device device_;
  midi::PeerFor<sim::Device> peer_{device_};
  test::FastWaits driver_waits_;
  midi::SimulatedMidi midi_{driver_waits_};
  test::SettledWaits waits_{[this] { midi_.Drain(); }};
  test::RecordingWindow window_;
  CUpdateDlg dlg_{window_, midi_, waits_};
};

TEST(Load, FullRunLeavesTheImageInTheDevice) {
  const auto image = TestImage();
  const UpdateHeader header = TestHeader({0x0000, 0x9000}, {0x10000, 0x6001});
  LoadRig rig;
  EXPECT_EQ(rig.Load(WriteUpdateFile(header, image, BlockChoice::kAll)), "Complete!");

  const auto flash = rig.device_.flash();
  for (const Region& r : header.regions)
    EXPECT_TRUE(std::equal(image.begin() + r.address, image.begin() + r.address + r.size,
                           flash.begin() + r.address));
  EXPECT_EQ(flash[0x9000], 0xFF);  // nothing outside the regions
  const sim::DeviceStats stats = rig.device_.stats();
  EXPECT_EQ(stats.refusals + stats.ignored + stats.sum_mismatches, 0u);
  EXPECT_EQ(stats.bytes_written, 0x9000u + 0x6001u);
  EXPECT_EQ(rig.device_.selected_target(), 2);
  // Copy over the image, then Uninstall and Install per region, each run to its end.
  std::vector<std::tuple<C, uint32_t, uint32_t, bool>> ops;
  for (const auto& op : rig.device_.operations())
    ops.emplace_back(op.command, op.start, op.count, op.completed);
  EXPECT_EQ(ops, (decltype(ops){{C::kCopy, 0, kImageSize, true},
                                {C::kUninstall, 0, 0x9000, true},
                                {C::kUninstall, 0x10000, 0x6001, true},
                                {C::kInstall, 0, 0x9000, true},
                                {C::kInstall, 0x10000, 0x6001, true}}));
  EXPECT_TRUE(rig.PortsClosed());
  EXPECT_EQ(rig.waits_.sleeps(), std::vector<uint32_t>(5, 1000));
  for (uint32_t ms : rig.waits_.waits()) EXPECT_EQ(ms, kReplyTimeoutMs);
}

TEST(Load, ProgressFollowsEveryStep) {
  LoadRig rig;
  ASSERT_EQ(rig.Load(WriteUpdateFile(TestHeader({0, 0x8000}, {0, 0}), TestImage(),
                                     BlockChoice::kNotBlank)),
            "Complete!");
  // File stage; open and five waits; Copy of 0x20000 in chunks of 0x4000 with
  // progress every 0x8000; two pieces of eight frames; Uninstall and Install
  // (the one progress step reaches the end); Verify in two pieces.
  const std::string frames = " R8 P0 D D D D D D D D";
  EXPECT_EQ(rig.Trace(),
            " R2 P0[File reading....] P1 P2 R5 P0[Device open....] P1 P2 P3 P4 P5"
            "[Copying....] R8 P0 P2 P4 P6[Loading.... (  0%)]" +
                frames + "[Loading.... ( 50%)]" + frames +
                "[Uninstalling....] R2 P0[Installing....] R2 P0[Verifying....] R2 P0 "
                "D D[Complete!]");
}

struct RegionCase {
  const char* name;
  uint32_t chunk;
  Region r0, r1;
  std::string loading;  // the Loading percentages in order
  std::string verify;   // progress during Verify
};

class Regions : public testing::TestWithParam<RegionCase> {};

TEST_P(Regions, PiecesTextsAndVerifyRanges) {
  const RegionCase& c = GetParam();
  LoadRig rig;
  ASSERT_EQ(
      rig.Load(WriteUpdateFile(TestHeader(c.r0, c.r1, c.chunk), TestImage(), BlockChoice::kAll)),
      "Complete!");
  std::string loading;
  for (const auto& t : rig.window_.StatusTexts())
    if (t.rfind("Loading.... (", 0) == 0) loading += t.substr(13, 3) + ",";
  EXPECT_EQ(loading, c.loading);
  const std::string trace = rig.Trace();
  const size_t verify = trace.find("[Verifying....]") + 15;
  EXPECT_EQ(trace.substr(verify, trace.find('[', verify) - verify), c.verify);
  // Uninstall and Install once per used region, one VerifySum per piece.
  const auto sent = [&](C command) { return std::ranges::count(rig.Commands(), command); };
  const auto used = (c.r0.size != 0) + (c.r1.size != 0);
  EXPECT_EQ(sent(C::kUninstall), used);
  EXPECT_EQ(sent(C::kInstall), used);
  EXPECT_EQ(sent(C::kVerifySum), std::ranges::count(c.verify, 'D'));
  EXPECT_EQ(sent(C::kWriteData) == 0, c.loading.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Load, Regions,
    testing::Values(
        RegionCase{"BothEmpty", 0x1000, {0, 0}, {0x100, 0}, "", ""},
        RegionCase{"OnlySecond", 0x4000, {0x10, 0}, {0x1000, 0x1000}, "  0,", " R1 P0 D"},
        RegionCase{"ThreeChunks", 0x8000, {0, 0x18000}, {0, 0}, "  0, 33, 66,", " R3 P0 D D D"},
        RegionCase{"SmallerThanChunk", 0x4000, {0x100, 0x80}, {0, 0}, "  0,", " R1 P0 D"},
        RegionCase{"ChunkPlusOne", 0x1000, {0, 0x1001}, {0, 0}, "  0, 99,", " R2 P0 D D"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
  const char* name;
  const char* rule;  // sim fault rule
  const char* text;  // the status text that stays
  C last;            // the last request the device received
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, EndWithTheStepsTextSendNothingMoreAndClose) {
  const FaultCase& c = GetParam();
  LoadRig rig;
  const auto rule = sim::ParseFaultRule(c.rule);
  ASSERT_TRUE(rule && rig.device_.InjectFault(*rule)) << c.rule;
  EXPECT_EQ(rig.Load(WriteUpdateFile(TestHeader({0, 0x9000}, {0x10000, 0x6001}), TestImage(),
                                     BlockChoice::kAll)),
            c.text);
  EXPECT_EQ(rig.Commands().back(), c.last);
  EXPECT_TRUE(rig.PortsClosed());
  // A held late reply was handed over at the pair's Close at the latest, after
  // its slot was released; ASan would see a write into it.
  rig.midi_.ReleaseHeld();
  rig.midi_.Drain();
}

INSTANTIATE_TEST_SUITE_P(
    Load, Faults,
    testing::Values(
        FaultCase{"NameNoReply", "GetModelName:1:no-reply", "Get model name failed!!",
                  C::kGetModelName},
        FaultCase{"NameTooLong", "GetModelName:1:long-name", "Compare model name error!!",
                  C::kGetModelName},
        FaultCase{"SelectRefused", "SelectDevice:1:fail-status", "Select Device failed!!",
                  C::kSelectDevice},
        FaultCase{"CopyRangeRefused", "SetRange:1:fail-status", "Copy failed!!", C::kSetRange},
        // A broken reply after good ones must not pass for the previous acknowledgement.
        FaultCase{"CopyContinueLongError", "Continue:1:long-error", "Copy failed!!", C::kContinue},
        FaultCase{"LoadLongError", "WriteData:5:long-error", "Load failed!!", C::kWriteData},
        FaultCase{"LoadLate", "WriteData:20:late", "Load failed!!", C::kWriteData},
        FaultCase{"UninstallLongError", "Uninstall:1:long-error", "Uninstall failed!!",
                  C::kUninstall},
        FaultCase{"InstallNoReply", "Install:2:no-reply", "Install failed!!", C::kInstall},
        FaultCase{"VerifyLate", "VerifySum:1:late", "Verify error!!", C::kVerifySum},
        FaultCase{"ModeOffNoReply", "ModeOff:1:no-reply", "Mode off error!!", C::kModeOff}),
    [](const auto& info) { return std::string(info.param.name); });

// A stop requested while a request is with the device: that exchange ends, no
// request follows, the step's failure text stays and the ports close. The
// next Load knows nothing of it.
TEST(Load, StopEndsTheRunAtTheNextExchange) {
  const struct {
    C at;  // the stop is requested when this request arrives for the n-th time
    int n;
    const char* text;
  } cases[] = {
      {C::kContinue, 300, "Copy failed!!"},  // in an operation that never ends
      {C::kWriteData, 3, "Load failed!!"},
      {C::kInstall, 1, "Install failed!!"},  // its progress reply gets no Continue
      {C::kModeOff, 1, "Complete!"},         // nothing left to stop
  };
  const auto file =
      WriteUpdateFile(TestHeader({0, 0x9000}, {0x10000, 0x6001}), TestImage(), BlockChoice::kAll);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(sim::CommandName(c.at)));
    LoadRig rig;
    test::EndlessDevice device(rig.device_);
    device.endless = c.at == C::kContinue;
    rig.midi_.Connect(&device, 1, 0);
    int seen = 0;
    device.on_request = [&](C command) {
      if (command == c.at && ++seen == c.n) rig.dlg_.RequestStop();
    };
    EXPECT_EQ(rig.Load(file), c.text);
    const auto commands = device.commands();
    EXPECT_EQ(commands.back(), c.at);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), c.at), c.n);
    EXPECT_TRUE(rig.PortsClosed());
    sim::Device fresh(LoadRig::Config("MODEL-X"));  // the stop left this one half updated
    midi::PeerFor<sim::Device> peer(fresh);
    rig.midi_.Connect(&peer, 1, 0);
    EXPECT_EQ(rig.Load(file, false), "Complete!");
  }
}

// The companion tool's verdict on `path`: the text after "verdict: ".
std::string ToolVerdict(const std::string& path) {
  std::string verdict;
  if (FILE* out = ::popen(("'" TAMBLET_PGM_PATH "' inspect '" + path + "' 2>&1").c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr)
      if (std::strncmp(line, "verdict: ", 9) == 0)
        verdict.assign(line + 9, std::strcspn(line + 9, "\n"));
    ::pclose(out);
  }
  return verdict;
}

TEST(Load, FailuresBeforeTheDeviceNeverOpenIt) {
  const auto good =
      WriteUpdateFile(TestHeader({0, 0x1000}, {0, 0}), TestImage(), BlockChoice::kAll);
  auto bad = good;
  bad[200] ^= 1;  // a block's checksum no longer holds
  const midi::PortHolder amidi{4321, "amidi"}, other{99, "other"};
  const std::string open_failed = "[Device open....][Device open failed!!]";
  const std::string box = "{" + BusyPortText(amidi) + "}";
  const auto out = [](midi::MMRESULT open, std::optional<midi::PortHolder> holder = {}) {
    midi::OutPortFaults faults;
    return faults.open = open, faults.holder = holder, faults;
  };
  const auto in = [](midi::MMRESULT open, std::optional<midi::PortHolder> holder = {}) {
    midi::InPortFaults faults;
    return faults.open = open, faults.holder = holder, faults;
  };
  constexpr midi::MMRESULT kBusy = midi::MMSYSERR_ALLOCATED;
  // Paths that are no update file, whatever their name says.
  const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "load_paths";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  std::ofstream(dir / "sparse").close();
  std::filesystem::resize_file(dir / "sparse", uint64_t{8} << 40);  // far beyond any memory

  const std::string d = dir.string() + "/", opened = " R2 P0[File reading....]";
  const std::string not_found = opened + "[File not found!!]",
                    read_error = opened + "[File read error!!]",
                    no_memory = "[Not enough memory! try closing some applications";
  const struct {
    const char* name;
    std::string path;           // chosen as it is, else `file` is written and chosen
    std::vector<uint8_t> file;  // neither: no file was ever chosen
    int failing_allocation;     // which nothrow new[] of the Load fails; -1: none
    bool discover;
    midi::OutPortFaults out;
    midi::InPortFaults in;
    std::string trace_end;  // a message box as {text}
  } cases[] = {
      {"no file", "", {}, -1, true, {}, {}, not_found},
      {"folder", d + "folder", {}, -1, true, {}, {}, not_found},
      {"/dev/null", "/dev/null", {}, -1, true, {}, {}, not_found},
      {"FIFO", d + "fifo", {}, -1, true, {}, {}, not_found},
      {"link to /dev/zero", d + "zero", {}, -1, true, {}, {}, not_found},
      {"8 TiB sparse file", d + "sparse", {}, -1, true, {}, {}, opened + no_memory + ".]"},
      // sysfs measures its files as 4096 bytes and reads a few.
      {"read short", "/sys/devices/system/cpu/online", {}, -1, true, {}, {}, read_error},
      {"image", "", good, 1, true, {}, {}, " P1" + no_memory + "]"},
      {"bad checksum", "", bad, -1, true, {}, {}, " P1[File format error!!]"},
      {"ports never found", "", good, -1, false, {}, {}, open_failed},
      {"port will not open", "", good, -1, true, out(kBusy), {}, open_failed},
      // The box names who holds the port that failed, after the status text.
      {"output held", "", good, -1, true, out(kBusy, amidi), in(0, other), open_failed + box},
      {"input held", "", good, -1, true, out(0, other), in(kBusy, amidi), open_failed + box},
      // clang-format off
      {"not busy: no holder asked", "", good, -1, true, out(midi::MMSYSERR_ERROR, amidi), {}, open_failed},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path.starts_with("/sys/") && !std::filesystem::exists(c.path)) continue;  // no sysfs
    LoadRig rig;
    rig.midi_.SetOutFaults(1, c.out);
    rig.midi_.SetInFaults(0, c.in);
    if (c.path.empty() && c.file.empty()) {  // Load before any Browse
      rig.dlg_.OnInitDialog();
      rig.dlg_.OnLoad();
    } else {
      const std::string path = c.path.empty() ? LoadRig::WriteTemp(c.file) : c.path;
      allocations_until_failure = c.failing_allocation;
      rig.LoadPath(path, c.discover);
      allocations_until_failure = -1;
      // The companion tool reads with Load's reader and judges alike.
      if (c.failing_allocation < 0 && c.trace_end.find("[Device") == std::string::npos) {
        EXPECT_EQ(ToolVerdict(path), rig.window_.Text(IDC_STATUS));
      }
    }
    const std::string trace = rig.Trace();
    EXPECT_EQ(trace.substr(trace.size() - std::min(trace.size(), c.trace_end.size())), c.trace_end);
    EXPECT_TRUE(rig.device_.log().empty());
    EXPECT_TRUE(rig.PortsClosed());
  }
}

TEST(Load, PureStepsOfTheSequence) {
  // (size - remaining) * 100 passes 2^32 for large regions: 32-bit arithmetic would show 2%.
  const struct {
    uint32_t size, remaining;
    const char* text;
  } percentages[] = {{196608, 131072, "Loading.... ( 33%)"},
                     {0x80000000u, 0x40000000u, "Loading.... ( 50%)"},
                     {0xFFFFFFFFu, 1, "Loading.... ( 99%)"}};
  for (const auto& c : percentages) {
    char text[32];
    FormatLoadingText(text, c.size, c.remaining);
    EXPECT_STREQ(text, c.text);
  }
  // Names match up to and including the NUL; sixteen bytes without one never do.
  const char expected[16] = "MODEL-X";
  const struct {
    const char* reported;  // 16 bytes
    bool match;
  } names[] = {{"MODEL-X\0junk\0\0\0\0", true},
               {"model-x\0\0\0\0\0\0\0\0\0", false},
               {"MODEL-X2\0\0\0\0\0\0\0\0", false},
               {"AAAAAAAAAAAAAAAA", false}};
  for (const auto& c : names) {
    char reported[16];
    std::memcpy(reported, c.reported, 16);
    EXPECT_EQ(ModelNamesMatch(reported, expected), c.match) << c.reported;
  }
  char full[16];
  std::memset(full, 'A', 16);
  EXPECT_FALSE(ModelNamesMatch(full, full));
}

}  // namespace
}  // namespace tamblet
