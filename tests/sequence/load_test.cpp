// Load from the file to the last status text, through the real dialog logic,
// port pair and in-process driver, against the simulated device.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/update_dlg.h"
#include "midi/simulated/simulated_midi.h"
#include "sim/device.h"
#include "tests/support/fast_waits.h"
#include "tests/support/recording_window.h"
#include "tests/support/settled_waits.h"
#include "update/update_writer.h"

namespace tamblet {
namespace {

constexpr uint32_t kImageSize = 0x20000;

UpdateHeader TestHeader(Region r0, Region r1, uint32_t chunk = 0x4000) {
  UpdateHeader h;
  std::strcpy(h.model_name, "MODEL-X");
  std::memcpy(h.version, "1.02", 4);
  h.target_select = 2;
  h.chunk_size = chunk;
  h.image_size = kImageSize;
  h.regions[0] = r0;
  h.regions[1] = r1;
  return h;
}

std::vector<uint8_t> TestImage() {
  std::vector<uint8_t> image(kImageSize);
  uint32_t x = 12345;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

// One dialog wired to the simulated device, as the program wires it to a real one.
class LoadRig {
 public:
  explicit LoadRig(sim::DeviceConfig config = Config())
      : device_(std::move(config)),
        peer_(device_),
        midi_(driver_waits_),
        waits_([this] { midi_.Drain(); }) {
    midi_.AddOutPort(midi::SimulatedMidi::Caps(1, 1, "Other synth OUT 1"));
    const uint32_t out = midi_.AddOutPort(midi::SimulatedMidi::Caps(37, 4, "QELMAR SIM OUT 1"));
    const uint32_t in = midi_.AddInPort(midi::SimulatedMidi::Caps(37, 5, "QELMAR SIM IN 1"));
    midi_.Connect(&peer_, out, in);
    midi_.SetLateAfter(kReplyTimeoutMs);
    dlg_ = std::make_unique<CUpdateDlg>(window_, midi_, waits_);
  }

  static sim::DeviceConfig Config() {
    sim::DeviceConfig config;
    config.model_name = "MODEL-X";
    config.flash_size = kImageSize;
    config.progress_step = 0x8000;
    return config;
  }

  // Discovery, Browse to `file`, then Load; returns the last status text.
  std::string Load(const std::vector<uint8_t>& file) {
    const std::string path = WriteFile(file);
    EXPECT_TRUE(dlg_->OnInitDialog());
    window_.AnswerFileDialog(path);
    dlg_->OnBrowse();
    window_.ClearEvents();
    dlg_->OnLoad();
    return window_.Text(IDC_STATUS);
  }

  std::string WriteFile(const std::vector<uint8_t>& bytes) {
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const auto path = std::filesystem::path(testing::TempDir()) / (name + ".pgm");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path.string();
  }

  std::vector<sim::Command> Commands() const {
    std::vector<sim::Command> out;
    for (const auto& r : device_.log()) out.push_back(r.command);
    return out;
  }
  bool PortsClosed() const { return !midi_.IsOutOpen(1) && !midi_.IsInOpen(0); }

  sim::Device device_;
  midi::PeerFor<sim::Device> peer_;
  test::FastWaits driver_waits_;
  midi::SimulatedMidi midi_;
  test::SettledWaits waits_;
  test::RecordingWindow window_;
  std::unique_ptr<CUpdateDlg> dlg_;
};

using C = sim::Command;

TEST(Load, FullRunLeavesTheImageInTheDevice) {
  const auto image = TestImage();
  const UpdateHeader header = TestHeader({0x0000, 0x9000}, {0x10000, 0x6001});
  LoadRig rig;
  EXPECT_EQ(rig.Load(WriteUpdateFile(header, image, BlockChoice::kAll)), "Complete!");

  const auto flash = rig.device_.flash();
  for (const Region& r : header.regions)
    EXPECT_TRUE(std::equal(image.begin() + r.address, image.begin() + r.address + r.size,
                           flash.begin() + r.address))
        << r.address;
  // Outside the regions nothing was written.
  EXPECT_EQ(flash[0x9000], 0xFF);
  EXPECT_EQ(flash[0x16001], 0xFF);
  const sim::DeviceStats stats = rig.device_.stats();
  EXPECT_EQ(stats.refusals, 0u);
  EXPECT_EQ(stats.ignored, 0u);
  EXPECT_EQ(stats.sum_mismatches, 0u);
  EXPECT_EQ(stats.bytes_written, 0x9000u + 0x6001u);
  EXPECT_EQ(rig.device_.selected_target(), 2);

  const std::vector<std::string> texts = {
      "File reading....",   "Device open....",    "Copying....",        "Loading.... (  0%)",
      "Loading.... ( 44%)", "Loading.... ( 88%)", "Loading.... (  0%)", "Loading.... ( 66%)",
      "Uninstalling....",   "Installing....",     "Verifying....",      "Complete!"};
  EXPECT_EQ(rig.window_.StatusTexts(), texts);

  // Operations in order, each over its range, each run to its end.
  const auto ops = rig.device_.operations();
  ASSERT_EQ(ops.size(), 5u);
  const std::vector<std::tuple<C, uint32_t, uint32_t>> expected_ops = {
      {C::kCopy, 0, kImageSize},
      {C::kUninstall, 0, 0x9000},
      {C::kUninstall, 0x10000, 0x6001},
      {C::kInstall, 0, 0x9000},
      {C::kInstall, 0x10000, 0x6001}};
  for (size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(std::tuple(ops[i].command, ops[i].start, ops[i].count), expected_ops[i]) << i;
    EXPECT_TRUE(ops[i].completed) << i;
  }
  // The pair is closed again, and the waits were the built-in ones.
  EXPECT_TRUE(rig.PortsClosed());
  EXPECT_EQ(rig.waits_.sleeps(), std::vector<uint32_t>(5, 1000));
  for (uint32_t ms : rig.waits_.waits()) EXPECT_EQ(ms, kReplyTimeoutMs);
}

TEST(Load, ProgressFollowsEveryStep) {
  const auto image = TestImage();
  LoadRig rig;
  ASSERT_EQ(rig.Load(WriteUpdateFile(TestHeader({0, 0x8000}, {0, 0}, 0x4000), image,
                                     BlockChoice::kNotBlank)),
            "Complete!");
  using test::ProgressOp;
  const std::vector<ProgressOp> expected = {
      // file stage
      {PBM_SETRANGE, 0, MakeRange(0, 2)},
      {PBM_SETPOS, 0, 0},
      {PBM_SETPOS, 1, 0},
      {PBM_SETPOS, 2, 0},
      // open and the five waits
      {PBM_SETRANGE, 0, MakeRange(0, 5)},
      {PBM_SETPOS, 0, 0},
      {PBM_SETPOS, 1, 0},
      {PBM_SETPOS, 2, 0},
      {PBM_SETPOS, 3, 0},
      {PBM_SETPOS, 4, 0},
      {PBM_SETPOS, 5, 0},
      // Copy over 0x20000 in chunks of 0x4000, progress every 0x8000
      {PBM_SETRANGE, 0, MakeRange(0, 8)},
      {PBM_SETPOS, 0, 0},
      {PBM_SETPOS, 2, 0},
      {PBM_SETPOS, 4, 0},
      {PBM_SETPOS, 6, 0},
      // two pieces of 0x4000, each 8 frames of 2048
      {PBM_SETRANGE, 0, MakeRange(0, 8)},
      {PBM_SETPOS, 0, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_SETRANGE, 0, MakeRange(0, 8)},
      {PBM_SETPOS, 0, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0},
      // Uninstall and Install over 0x8000: range 2, one progress reply is not
      // sent since the step reaches the end
      {PBM_SETRANGE, 0, MakeRange(0, 2)},
      {PBM_SETPOS, 0, 0},
      {PBM_SETRANGE, 0, MakeRange(0, 2)},
      {PBM_SETPOS, 0, 0},
      // Verify: two pieces
      {PBM_SETRANGE, 0, MakeRange(0, 2)},
      {PBM_SETPOS, 0, 0},
      {PBM_DELTAPOS, 1, 0},
      {PBM_DELTAPOS, 1, 0}};
  EXPECT_EQ(rig.window_.ProgressOps(), expected);
}

struct FaultCase {
  const char* name;
  const char* rule;  // sim fault text; "" for none
  const char* text;  // the status text that stays
  C last;            // the last request the device received
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, EndWithTheStepsTextSendNothingMoreAndClose) {
  const FaultCase& c = GetParam();
  const auto image = TestImage();
  LoadRig rig;
  const auto rule = sim::ParseFaultRule(c.rule);
  ASSERT_TRUE(rule.has_value()) << c.rule;
  ASSERT_TRUE(rig.device_.InjectFault(*rule));

  EXPECT_EQ(rig.Load(WriteUpdateFile(TestHeader({0, 0x9000}, {0x10000, 0x6001}), image,
                                     BlockChoice::kAll)),
            c.text);
  ASSERT_FALSE(rig.Commands().empty());
  EXPECT_EQ(rig.Commands().back(), c.last);
  EXPECT_TRUE(rig.PortsClosed());
  // A late reply is handed over by the driver at the next call at the latest;
  // whatever it was, it never reached a slot after its time-out.
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
        FaultCase{"NameOversizeReply", "GetModelName:1:oversize", "Get model name failed!!",
                  C::kGetModelName},
        FaultCase{"NameNoEnd", "GetModelName:1:no-end", "Get model name failed!!",
                  C::kGetModelName},
        FaultCase{"NameLate", "GetModelName:1:late", "Get model name failed!!", C::kGetModelName},
        FaultCase{"SelectRefused", "SelectDevice:1:fail-status", "Select Device failed!!",
                  C::kSelectDevice},
        FaultCase{"SelectWrongCommand", "SelectDevice:1:wrong-command", "Select Device failed!!",
                  C::kSelectDevice},
        FaultCase{"CopyRangeRefused", "SetRange:1:fail-status", "Copy failed!!", C::kSetRange},
        FaultCase{"CopyWrongCommand", "Copy:1:wrong-command", "Copy failed!!", C::kCopy},
        FaultCase{"CopyContinueLost", "Continue:2:no-reply", "Copy failed!!", C::kContinue},
        FaultCase{"LoadRefused", "WriteData:3:fail-status", "Load failed!!", C::kWriteData},
        FaultCase{"LoadLate", "WriteData:20:late", "Load failed!!", C::kWriteData},
        // A broken reply after good ones must not pass for the previous acknowledgement.
        FaultCase{"LoadLongError", "WriteData:5:long-error", "Load failed!!", C::kWriteData},
        FaultCase{"CopyContinueLongError", "Continue:1:long-error", "Copy failed!!", C::kContinue},
        FaultCase{"UninstallLongError", "Uninstall:1:long-error", "Uninstall failed!!",
                  C::kUninstall},
        FaultCase{"InstallNoReply", "Install:2:no-reply", "Install failed!!", C::kInstall},
        FaultCase{"VerifyRefused", "VerifySum:3:fail-status", "Verify error!!", C::kVerifySum},
        FaultCase{"VerifyLate", "VerifySum:1:late", "Verify error!!", C::kVerifySum},
        FaultCase{"ModeOffWrongCommand", "ModeOff:1:wrong-command", "Mode off error!!",
                  C::kModeOff},
        FaultCase{"ModeOffNoReply", "ModeOff:1:no-reply", "Mode off error!!", C::kModeOff}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, NameDifferingOnlyInCaseIsRefused) {
  sim::DeviceConfig config = LoadRig::Config();
  config.model_name = "Model-X";
  LoadRig rig(config);
  EXPECT_EQ(
      rig.Load(WriteUpdateFile(TestHeader({0, 0x1000}, {0, 0}), TestImage(), BlockChoice::kAll)),
      "Compare model name error!!");
  EXPECT_EQ(rig.Commands(), std::vector<C>{C::kGetModelName});
}

struct FileCase {
  const char* name;
  int variant;
  const char* text;
  uint32_t position;
};

class FileFailures : public testing::TestWithParam<FileCase> {};

TEST_P(FileFailures, NeverOpenTheDevice) {
  const FileCase& c = GetParam();
  LoadRig rig;
  ASSERT_TRUE(rig.dlg_->OnInitDialog());
  rig.midi_.RecordCalls(true);
  auto file = WriteUpdateFile(TestHeader({0, 0x1000}, {0, 0}), TestImage(), BlockChoice::kAll);
  switch (c.variant) {
    case 0:  // no Browse yet
      break;
    case 1:  // a block's checksum does not hold
      file[200] ^= 1;
      break;
    case 2:  // a folder is no file
      rig.window_.AnswerFileDialog(testing::TempDir());
      rig.dlg_->OnBrowse();
      break;
  }
  if (c.variant == 1) {
    rig.window_.AnswerFileDialog(rig.WriteFile(file));
    rig.dlg_->OnBrowse();
  }
  rig.window_.ClearEvents();
  rig.dlg_->OnLoad();
  EXPECT_EQ(rig.window_.Text(IDC_STATUS), c.text);
  EXPECT_EQ(rig.window_.ProgressOps().back(), (test::ProgressOp{PBM_SETPOS, c.position, 0}));
  for (const auto& call : rig.midi_.Calls()) EXPECT_EQ(call.find("Open"), std::string::npos);
  EXPECT_TRUE(rig.device_.log().empty());
}

INSTANTIATE_TEST_SUITE_P(Load, FileFailures,
                         testing::Values(FileCase{"NoBrowse", 0, "File not found!!", 0},
                                         FileCase{"BadChecksum", 1, "File format error!!", 1},
                                         FileCase{"Folder", 2, "File not found!!", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Load, WithoutDiscoveredPortsNothingIsOpened) {
  LoadRig rig;
  rig.midi_.RecordCalls(true);
  // No OnInitDialog: no port index was recorded.
  rig.window_.AnswerFileDialog(rig.WriteFile(
      WriteUpdateFile(TestHeader({0, 0x1000}, {0, 0}), TestImage(), BlockChoice::kAll)));
  rig.dlg_->OnBrowse();
  rig.dlg_->OnLoad();
  EXPECT_EQ(rig.window_.Text(IDC_STATUS), "Device open failed!!");
  for (const auto& call : rig.midi_.Calls()) EXPECT_EQ(call.find("Open"), std::string::npos);
}

TEST(Load, RunsAgainAfterAFailure) {
  const auto image = TestImage();
  const auto file = WriteUpdateFile(TestHeader({0, 0x4000}, {0, 0}), image, BlockChoice::kAll);
  LoadRig rig;
  ASSERT_TRUE(rig.device_.InjectFault(sim::Command::kVerifySum, 1, {sim::FaultKind::kNoReply}));
  EXPECT_EQ(rig.Load(file), "Verify error!!");
  rig.dlg_->OnLoad();
  EXPECT_EQ(rig.window_.Text(IDC_STATUS), "Complete!");
  EXPECT_TRUE(rig.PortsClosed());
}

}  // namespace
}  // namespace tamblet
