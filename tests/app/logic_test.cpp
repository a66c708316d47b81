// The dialog's logic without a window: the port rule, discovery against a fake
// enumeration, Browse and its version preview.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string_view>
#include <tuple>

#include "app/port_discovery.h"
#include "app/version_preview.h"
#include "base/display.h"
#include "midi/midi_header.h"
#include "midi/system/composite_midi_layer.h"
#include "tests/support/recording_window.h"
#include "tests/support/update_files.h"

namespace tamblet {
namespace {

using midi::MidiCaps;
using midi::MMRESULT;
constexpr auto Caps = &midi::MakeCaps;
constexpr auto kOut = PortDirection::kOutput;
constexpr auto kIn = PortDirection::kInput;
std::string A(size_t n) { return std::string(n, 'A'); }

TEST(AcceptPortTest, Cases) {
  // Manufacturer, product, name (32 bytes: no NUL at all), direction, accepted.
  // Names the device's ports take are accepted in the next test.
  const std::tuple<uint16_t, uint16_t, std::string, PortDirection, bool> cases[] = {
      {37, 4, "QELMAR  OUT 1", kOut, true},  // empty model word
      {37, 4, "QELMAR ABC OUT", kOut, false},
      {37, 4, "QELMAR ABC DEF OUT 1", kOut, false},  // only the first space counts
      {37, 4, "QELMAr ABC OUT 1", kOut, false},
      {37, 4, std::string("QELMAR AB\0 OUT 1", 16), kOut, false},
      {37 + 256, 4, "QELMAR ABC OUT 1", kOut, false},
      {37, 5, "QELMAR ABC INPUT", kIn, false},
      {37, 4, "QELMAR ABC IN 1", kIn, false},
      {37, 4, "QELMAR " + A(20) + " OUT ", kOut, true},
      {37, 4, "QELMAR " + A(21) + " OUT", kOut, false},
      {37, 4, "QELMAR " + A(24) + " ", kOut, false},
      {37, 4, "QELMAR " + A(25), kOut, false},
  };
  for (const auto& [mid, pid, name, direction, accepted] : cases) {
    // On the heap at its exact size, so that reading past the name is caught.
    auto caps = std::make_unique<MidiCaps>(Caps(mid, pid, name));
    EXPECT_EQ(AcceptPort(*caps, direction), accepted) << "'" << name << "'";
  }
}

// Long models, in ASCII and in characters of 2 to 4 bytes started at every
// offset: both ports of a device keep one device part, cut between characters;
// each name fits the record whole and is accepted; the model is kept as far as
// the room for " OUT 99" allows.
TEST(DevicePortNameTest, BothDirectionsShareTheDevicePart) {
  const std::string units[] = {"A", "\xC3\xA9", "\xC3\xA9 ", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB9"};
  constexpr size_t kModelRoom = 31 - 7 - 7;
  for (const std::string& unit : units) {
    for (size_t bytes = 17; bytes <= 40; ++bytes) {
      std::string model(bytes % unit.size(), 'x');
      while (model.size() < bytes) model += unit;
      std::string shown = model;
      std::replace(shown.begin(), shown.end(), ' ', '-');
      const std::string product = "QELMAR " + model;
      const std::string part = "QELMAR " + shown;
      SCOPED_TRACE(product);
      const std::string first(DevicePartOf(DevicePortName(product, kOut, 1)));
      EXPECT_TRUE(part.starts_with(first));
      if (bytes <= kModelRoom) {
        EXPECT_EQ(first, part);
      }
      EXPECT_GT(first.size() + unit.size(), 7 + std::min(bytes, kModelRoom));
      for (const uint32_t number : {1u, 9u, 10u, 99u, 100u, 4294967295u}) {
        const std::string out = DevicePortName(product, kOut, number);
        const std::string in = DevicePortName(product, kIn, number);
        SCOPED_TRACE(out + " / " + in);
        EXPECT_EQ(DevicePartOf(out), DevicePartOf(in));
        if (number <= 99) {
          EXPECT_EQ(DevicePartOf(out), first);
        }
        for (const auto& [name, direction] : {std::pair(out, kOut), std::pair(in, kIn)}) {
          const std::string_view device = DevicePartOf(name);
          EXPECT_TRUE(part.starts_with(device));
          EXPECT_EQ(Utf8PrefixLength(part, device.size()), device.size());
          const auto caps =
              std::make_unique<MidiCaps>(midi::DeviceCaps(product, direction, number));
          EXPECT_EQ(PortName(*caps), name);  // NUL included, nothing cut by the record
          EXPECT_LT(name.size(), kPortNameBytes);
          EXPECT_TRUE(AcceptPort(*caps, direction));
          EXPECT_FALSE(AcceptPort(*caps, direction == kOut ? kIn : kOut));
        }
      }
    }
  }
}

// Names cut to a length end between characters; bytes that are not UTF-8 are
// characters of one byte.
TEST(DevicePortNameTest, CutsBetweenCharacters) {
  const std::tuple<std::string, size_t, size_t> cases[] = {
      {"abc", 5, 3},
      {"ab\xC3\xA9", 3, 2},
      {"ab\xC3\xA9", 4, 4},
      {"a\xF0\x9F\x8E\xB9", 4, 1},
      {"a\xF0\x9F\x8E\xB9z", 5, 5},
      {"a\xE2\x82"
       "b",
       2, 1},
      {"\xC3\xA9\xA9\xA9", 2, 2},
      {"a\x80\x80\x80\x80\x80", 4, 4},
      {"\xFF\xFE", 1, 1},
      {"\xFF\x80\x80", 2, 2},
  };
  for (const auto& [text, max, length] : cases)
    EXPECT_EQ(Utf8PrefixLength(text, max), length) << text << " " << max;
  // A foreign name is cut between characters too, so its record ends in a NUL.
  const MidiCaps caps = Caps(0, 0, A(31) + "\xC3\xA9");
  EXPECT_EQ(PortName(caps), A(31));
}

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
    const DiscoveryResult result = DiscoverPortPair(midi, window);
    EXPECT_EQ(result.output_index, out);
    EXPECT_EQ(result.input_index, in);
    EXPECT_EQ(midi.log, log);
    EXPECT_EQ(window.GetWindowText(IDC_OUTPUT_PORT), out ? outs[*out].name : "");
    EXPECT_EQ(window.GetWindowText(IDC_INPUT_PORT), in ? ins[*in].name : "");
    // The bar is reset first; a failure shows its box, then the status text.
    const std::string failure = "QELMAR USB Driver not found!!";
    EXPECT_EQ(window.Trace(),
              " R35 P0" + (result.found() ? "" : "{" + failure + "}[" + failure + "]"));
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
