// The dialog's logic without a window: discovery against a fake enumeration,
// Browse and its version preview.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "app/port_discovery.h"
#include "app/port_follow.h"
#include "app/version_preview.h"
#include "base/display.h"
#include "midi/midi_header.h"
#include "midi/system/composite_midi_layer.h"
#include "tests/support/fast_waits.h"
#include "tests/support/recording_window.h"
#include "tests/support/update_files.h"

namespace tamblet {
namespace {

using midi::MidiCaps;
using midi::MMRESULT;
constexpr auto Caps = &midi::MakeCaps;
std::string A(size_t n) { return std::string(n, 'A'); }

// A port's name and what querying it returns.
struct Record {
  std::string name;
  MMRESULT result = 0;
};

// Enumerates the given records and logs every call: "O" a count, "o1" a query.
// Anything else goes to a composite of no layers, where no port exists.
struct Enumeration : midi::CompositeMidiLayer {
  Enumeration(std::vector<Record> o, std::vector<Record> i)
      : CompositeMidiLayer({}), outs(o), ins(i) {}
  std::vector<Record> outs, ins;
  std::string log;
  uint32_t OutGetNumDevs() override { return log += "O", uint32_t(outs.size()); }
  uint32_t InGetNumDevs() override { return log += "I", uint32_t(ins.size()); }
  MMRESULT OutGetDevCaps(uint32_t i, MidiCaps* c) override { return Get(outs, 4, "o", i, c); }
  MMRESULT InGetDevCaps(uint32_t i, MidiCaps* c) override { return Get(ins, 5, "i", i, c); }
  MMRESULT OutOpen(midi::PortHandle*, uint32_t i, midi::MidiCallback, uintptr_t) override {
    return log += "+" + std::to_string(i), midi::MMSYSERR_ALLOCATED;
  }
  MMRESULT Get(const std::vector<Record>& ports, uint16_t pid, const char* tag, uint32_t i,
               MidiCaps* caps) {
    log += tag + std::to_string(i);
    // A failing query leaves a record behind, as a driver might.
    *caps = Caps(37, pid, ports.at(i).name);
    return ports[i].result;
  }
};

const Record kOut1{"QELMAR " + A(20) + " OUT "}, kOut2{"QELMAR XYZ OUT 2"};
const Record kIn1{"QELMAR ABC IN 1"}, kIn2{"QELMAR XYZ IN 2"}, kOther{"QELMAR ABC INPUT"};
const Record kBadOut{"QELMAR X OUT 3", midi::MMSYSERR_NODRIVER};
const Record kBadIn{"QELMAR X IN 3", midi::MMSYSERR_ERROR};

TEST(DiscoveryTest, Cases) {
  // Output and input records; the indices found; the calls made.
  using Case = std::tuple<std::vector<Record>, std::vector<Record>, std::optional<uint32_t>,
                          std::optional<uint32_t>, std::string>;
  const Case cases[] = {
      {{kOther, kOut1}, {kOther, kIn1}, 1, 1, "Oo0o1Ii0i1"},   // both found
      {{kOther, kIn1}, {kIn1}, {}, {}, "Oo0o1"},               // no output: no input search
      {{kOut1}, {kOther}, 0, {}, "Oo0Ii0"},                    // output but no input
      {{kOut2, kOut1}, {kIn2, kIn1}, 0, 0, "Oo0Ii0"},          // two matching: the first
      {{kBadOut, kOut1}, {kBadIn, kIn1}, 1, 1, "Oo0o1Ii0i1"},  // failed queries
  };
  for (const auto& [outs, ins, out, in, log] : cases) {
    SCOPED_TRACE(log);
    Enumeration midi(outs, ins);
    test::RecordingWindow window;
    const PortPair result = DiscoverPortPair(midi, window);
    EXPECT_EQ(result.output, out);
    EXPECT_EQ(result.input, in);
    EXPECT_EQ(midi.log, log);
    EXPECT_EQ(window.GetWindowText(IDC_OUTPUT_PORT), out ? outs[*out].name : "");
    EXPECT_EQ(window.GetWindowText(IDC_INPUT_PORT), in ? ins[*in].name : "");
    // The bar is reset first; a failure shows its box, then the status text.
    const std::string failure = "QELMAR USB Driver not found!!";
    EXPECT_EQ(window.Trace(),
              " R35 P0" + (result.found() ? "" : "{" + failure + "}[" + failure + "]"));
  }
}

// Ports plugged in and out while the window is open, one tick of the follower
// a row, with a Load after some of them.
TEST(FollowTest, PortsComeAndGo) {
  struct Tick {
    std::vector<Record> outs, ins;  // what is plugged in now
    bool changed, busy, load;
    std::string out, in;  // the port fields after the tick
    std::string trace;    // status texts and boxes the tick added
    std::string opened;   // the calls of the layer Load used, "" if none was made
  };
  const std::vector<Tick> ticks = {
      {{kOut2}, {kIn2}, true, false, false, "", "", "", ""},  // plugged: wait for quiet
      {{kOut2}, {kIn2}, false, false, true, kOut2.name, kIn2.name, "[]", "Oo0Ii0+0"},
      {{kOut2}, {kIn2}, false, false, false, kOut2.name, kIn2.name, "", ""},  // nothing new
      {{}, {}, true, true, false, kOut2.name, kIn2.name, "", ""},             // out during a Load
      {{}, {}, false, true, false, kOut2.name, kIn2.name, "", ""},
      {{}, {}, false, false, true, "", "", "", "O"},  // gone: Load opens nothing
      {{kOther, kOut1}, {kIn1}, true, false, false, "", "", "", ""},
      {{kOther, kOut1}, {kIn1}, false, false, true, kOut1.name, kIn1.name, "", "Oo0o1Ii0+1"},
  };
  std::vector<Record> outs, ins;
  Enumeration* latest = nullptr;
  std::vector<bool> changes;
  struct ScriptedWatch : midi::PortWatch {
    std::vector<bool>& changes;
    explicit ScriptedWatch(std::vector<bool>& c) : changes(c) {}
    bool Changed() override { return !changes.empty() && changes.back(); }
  };
  std::vector<std::unique_ptr<midi::PortWatch>> watches;
  watches.push_back(std::make_unique<ScriptedWatch>(changes));
  Enumeration empty({}, {});
  test::RecordingWindow window;
  test::FastWaits waits;
  CUpdateDlg dlg(window, empty, waits);
  PortFollower follower(dlg, std::move(watches), [&] {
    auto layer = std::make_unique<Enumeration>(outs, ins);
    latest = layer.get();
    return layer;
  });
  EXPECT_FALSE(dlg.OnInitDialog());
  const std::string file = test::TempUpdateFile({"MODEL-X", {}, 2, 0x1000, 0x2000, {{0, 0x2000}}},
                                                test::SampleImage(0x2000));
  for (size_t row = 0; row < ticks.size(); ++row) {
    SCOPED_TRACE(row);
    const Tick& tick = ticks[row];
    outs = tick.outs, ins = tick.ins;
    changes.push_back(tick.changed);
    const std::string before = window.Trace();
    Enumeration* used = latest;
    follower.Tick(tick.busy);
    EXPECT_EQ(window.GetWindowText(IDC_OUTPUT_PORT), tick.out);
    EXPECT_EQ(window.GetWindowText(IDC_INPUT_PORT), tick.in);
    EXPECT_EQ(window.Trace().substr(before.size()), tick.trace);
    EXPECT_EQ(latest != used, !tick.opened.empty()) << "a fresh layer iff discovery ran again";
    if (tick.load) {
      if (window.GetWindowText(IDC_FILE_NAME).empty()) {
        window.AnswerFileDialog(file);
        dlg.OnBrowse();
      }
      dlg.OnLoad();
      EXPECT_EQ(dlg.last_outcome().text, "Device open failed!!");
      EXPECT_EQ(latest->log, tick.opened);
    }
  }
}

// A header whose bytes 16.. are `version`, the rest letters that must not show.
std::vector<uint8_t> Header(const std::string& version, size_t size = 128) {
  std::vector<uint8_t> bytes(size, 'a');
  std::copy(version.begin(), version.end(), bytes.begin() + 16);
  return bytes;
}

TEST(BrowseTest, PreviewOnlyFromA128ByteHeader) {
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto open_before = descriptors();
  const std::string dir = test::TempPath(), fifo = test::TempPath(".pgm");
  std::filesystem::create_directory(dir);
  test::RecordingWindow window;
  const auto browse = [&](const std::string& answer) {
    window.AnswerFileDialog(answer);
    EXPECT_EQ(BrowseForUpdateFile(window), answer);
    EXPECT_EQ(window.GetWindowText(IDC_FILE_NAME), answer);
    return window.Trace();
  };
  EXPECT_EQ(browse(test::WriteTempFile(Header("1.02X"))), "[Load Version 1.02]");
  // A short file, Cancel, a missing file, a directory, a FIFO (which must not
  // block): the status line stays as it was.
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {test::WriteTempFile(Header("WXYZ", 127)), std::string(), dir + "/gone.pgm", dir, fifo})
    EXPECT_EQ(browse(path), "[Load Version 1.02]") << path;
  EXPECT_EQ(browse(test::WriteTempFile(Header(std::string("V1\0ZZ", 5), 5000))),
            "[Load Version 1.02][Load Version V1]");  // up to a NUL
  EXPECT_EQ(descriptors(), open_before);              // every path closed what it opened
}

}  // namespace
}  // namespace tamblet
