// The instruments library: the acceptance rule on capability records, the
// names the device's ports take, pairing; the plug-in state machine, a card's
// identity from a sysfs tree, cards seen through inotify on a folder of nodes,
// and which card each listed port belongs to.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "instruments/card_identity.h"
#include "instruments/card_watch.h"
#include "instruments/instrument_ports.h"
#include "instruments/plug_tracker.h"
#include "instruments/port_rule.h"
#include "midi/midi_header.h"

namespace tamblet {
namespace {

namespace fs = std::filesystem;
using midi::MidiCaps;
constexpr auto Caps = &midi::MakeCaps;
constexpr auto kOut = PortDirection::kOutput;
constexpr auto kIn = PortDirection::kInput;
std::string A(size_t n) { return std::string(n, 'A'); }

fs::path Scratch() {
  const fs::path dir =
      fs::path(testing::TempDir()) /
      (std::string("watch-") + testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

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

// The k-th accepted output of a card pairs with its k-th accepted input,
// whatever order the inputs come in; two clients of one name are told apart.
TEST(PairInstrumentsTest, KthOutputOfACardWithItsKthInput) {
  PortList ports;
  for (const char* name : {"QELMAR A OUT 1", "QELMAR B OUT 1", "QELMAR B OUT 2", "QELMAR C OUT 1",
                           "QELMAR S OUT 1", "QELMAR S OUT 1"})
    ports.outputs.push_back({uint32_t(ports.outputs.size()), name, true});
  for (const char* name :
       {"QELMAR B IN 1", "QELMAR A IN 1", "QELMAR B IN 2", "QELMAR S IN 1", "QELMAR S IN 1"})
    ports.inputs.push_back({uint32_t(ports.inputs.size()), name, true});
  std::vector<std::tuple<uint32_t, uint32_t, std::string>> got;
  for (const Instrument& i : PairInstruments(ports))
    got.emplace_back(i.output.index, i.input.index, i.label);
  EXPECT_EQ(got, (decltype(got){{0, 1, "QELMAR A OUT 1"},
                                {1, 0, "QELMAR B OUT 1"},
                                {2, 2, "QELMAR B OUT 2"},
                                {4, 3, "QELMAR S OUT 1 #4"},
                                {5, 4, "QELMAR S OUT 1 #5"}}));
}

// One step of a plug-in table: what happens, and what the machine must answer.
struct Step {
  enum Kind { kPlug, kUnplug, kEnd } kind;
  int card = 0;        // kPlug, kUnplug
  CardIdentity who{};  // kPlug
  bool instrument = true;
  int plug = 0;  // kEnd: the n-th started plug-in, from 1
  bool complete = true;
  // Answers: kPlug's verdict, kUnplug's "still running", kEnd's verdict.
  int expect = 0;
  size_t running = 0;
  std::string label = "";  // of the plug-in just started
};

using P = PlugTracker::Plugged;
using E = PlugTracker::Ended;

TEST(PlugTracker, EachPlugInIsUpdatedOnce) {
  const CardIdentity a{"SER-A", "usb 1-1"}, b{"", "usb 2-1"}, a_elsewhere{"SER-A", "usb 3-1"};
  struct Table {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Table> tables = {
      // A plug-in that ended well, seen again, is left alone, unplugged and back
      // it is new: cli_test's watch. A failure waits for its unplug too.
      {"a failure waits for its unplug",
       {{Step::kPlug, 4, b, true, 0, true, int(P::kStart), 1, "SIM (usb 2-1)"},
        {Step::kEnd, 0, {}, true, 1, false, int(E::kUnplugToRetry), 0},
        {Step::kPlug, 4, b, true, 0, true, int(P::kKnown), 0},  // its nodes' permissions changed
        {Step::kUnplug, 4, {}, true, 0, true, 0, 0},
        {Step::kPlug, 5, b, true, 0, true, int(P::kStart), 1}}},
      {"unplugged during its run, back under the same number before it ended",
       {{Step::kPlug, 4, a, true, 0, true, int(P::kStart), 1},
        {Step::kUnplug, 4, {}, true, 0, true, 1, 1},
        {Step::kPlug, 4, a, true, 0, true, int(P::kStart), 2},
        {Step::kEnd, 0, {}, true, 1, false, int(E::kGone), 1},
        {Step::kEnd, 0, {}, true, 2, true, int(E::kLeftAlone), 0}}},
      {"two at once",
       {{Step::kPlug, 4, a, true, 0, true, int(P::kStart), 1},
        {Step::kPlug, 5, b, true, 0, true, int(P::kStart), 2, "SIM (usb 2-1)"},
        {Step::kEnd, 0, {}, true, 2, true, int(E::kLeftAlone), 1},
        {Step::kEnd, 0, {}, true, 1, true, int(E::kLeftAlone), 0}}},
      {"the same serial on two paths: both updated, told apart by path",
       {{Step::kPlug, 4, a, true, 0, true, int(P::kStart), 1},
        {Step::kPlug, 5, a_elsewhere, true, 0, true, int(P::kStart), 2, "SIM (SER-A at usb 3-1)"},
        {Step::kUnplug, 4, {}, true, 0, true, 1, 2},
        {Step::kPlug, 6, a, true, 0, true, int(P::kStart), 3, "SIM (SER-A at usb 1-1)"},
        {Step::kUnplug, 5, {}, true, 0, true, 1, 3},  // moved to another port while running
        {Step::kPlug, 7, a_elsewhere, true, 0, true, int(P::kStart), 4, "SIM (SER-A at usb 3-1)"},
        {Step::kUnplug, 6, {}, true, 0, true, 1, 4},
        {Step::kPlug, 8, b, true, 0, true, int(P::kStart), 5}}},
      {"a serial no longer plugged in does not count",
       {{Step::kPlug, 4, a, true, 0, true, int(P::kStart), 1},
        {Step::kUnplug, 4, {}, true, 0, true, 1, 1},
        {Step::kPlug, 5, a_elsewhere, true, 0, true, int(P::kStart), 2, "SIM (SER-A)"}}},
      {"a card without an instrument's ports",
       {{Step::kPlug, 0, {"", "pci"}, false, 0, true, int(P::kNoInstrument), 0},
        {Step::kPlug, 0, {"", "pci"}, false, 0, true, int(P::kKnown), 0},
        {Step::kUnplug, 0, {}, true, 0, true, 0, 0}}},
      {"a card number that is another device now lost its unplug",
       {{Step::kPlug, 4, a, true, 0, true, int(P::kStart), 1},
        {Step::kEnd, 0, {}, true, 1, true, int(E::kLeftAlone), 0},
        {Step::kPlug, 4, b, true, 0, true, int(P::kStart), 1}}},
      {"an unknown card goes", {{Step::kUnplug, 9, {}, true, 0, true, 0, 0}}},
  };
  for (const Table& table : tables) {
    SCOPED_TRACE(table.name);
    PlugTracker tracker;
    std::vector<uint64_t> started;
    for (size_t k = 0; k < table.steps.size(); ++k) {
      SCOPED_TRACE(k);
      const Step& s = table.steps[k];
      uint64_t id = 0;
      switch (s.kind) {
        case Step::kPlug:
          EXPECT_EQ(int(tracker.Plug(s.card, s.who, "SIM", s.instrument, &id)), s.expect);
          if (s.expect == int(P::kStart)) {
            started.push_back(id);
            if (!s.label.empty()) {
              EXPECT_EQ(tracker.Label(id), s.label);
            }
          }
          break;
        case Step::kUnplug:
          EXPECT_EQ(int(tracker.Unplug(s.card)), s.expect);
          break;
        case Step::kEnd:
          EXPECT_EQ(int(tracker.End(started.at(size_t(s.plug - 1)), s.complete)), s.expect);
          break;
      }
      EXPECT_EQ(tracker.running(), s.running);
    }
  }
}

// A tree shaped as the kernel's: class/sound/cardK links to the card under
// its USB interface, under the USB device that holds busnum and devpath.
TEST(CardIdentity, SerialElsePathFromSysfs) {
  const fs::path sys = Scratch();
  auto card_at = [&sys](int card, const fs::path& device) {
    const fs::path node = sys / device / "sound" / ("card" + std::to_string(card));
    fs::create_directories(node);
    fs::create_directories(sys / "class" / "sound");
    fs::create_directory_symlink(fs::relative(node, sys / "class" / "sound"),
                                 sys / "class" / "sound" / ("card" + std::to_string(card)));
  };
  auto write = [](const fs::path& file, const std::string& text) { std::ofstream(file) << text; };
  const fs::path usb = "devices/platform/dummy_hcd.0/usb1/1-1";
  card_at(4, usb / "1-1:1.0");
  write(sys / usb / "busnum", "1\n");
  write(sys / usb / "devpath", "1\n");
  write(sys / usb / "serial", "QS-0042\n");
  const fs::path hub = "devices/pci0000:00/usb2/2-1/2-1.3";
  card_at(5, hub / "2-1.3:1.0");
  write(sys / hub / "busnum", "2\n");
  write(sys / hub / "devpath", "1.3\n");
  card_at(0, "devices/pci0000:00/0000:00:1f.3");

  EXPECT_EQ(ReadCardIdentity(sys, 4), (CardIdentity{"QS-0042", "usb 1-1"}));
  EXPECT_EQ(ReadCardIdentity(sys, 5), (CardIdentity{"", "usb 2-1.3"}));
  EXPECT_EQ(ReadCardIdentity(sys, 0), (CardIdentity{"", "devices/pci0000:00/0000:00:1f.3"}));
  EXPECT_EQ(ReadCardIdentity(sys, 7), std::nullopt);  // gone
}

TEST(CardWatch, NodeNames) {
  const std::tuple<const char*, int, bool> cases[] = {
      {"controlC3", 3, true}, {"midiC12D0", 12, false}, {"controlC3x", -1, true},
      {"midiC3", -1, false},  {"pcmC0D0p", -1, false},  {"seq", -1, false},
      {"controlC", -1, true}};
  for (const auto& [name, card, control] : cases) {
    bool is_control = false;
    EXPECT_EQ(CardOfNode(name, &is_control), card) << name;
    EXPECT_TRUE(card < 0 || is_control == control) << name;
  }
}

// Real inotify on a folder standing for /dev/snd: a card counts once its
// control node is there and every node of it can be opened; its control
// node's removal is its unplug.
TEST(CardWatch, CardsComeAndGoWithTheirNodes) {
  const fs::path dev = Scratch();
  const fs::path snd = dev / "snd";
  auto touch = [&snd](const char* name) { std::ofstream(snd / name).put('\0'); };
  fs::create_directory(snd);
  touch("controlC0");
  touch("seq");
  const auto watch = WatchDevSnd(snd.string());
  EXPECT_EQ(watch->Next(0), (std::vector<CardEvent>{{true, 0}}));  // there at the start
  EXPECT_TRUE(watch->Next(0).empty());

  touch("midiC1D0");
  EXPECT_TRUE(watch->Next(1000).empty());  // no control node yet
  touch("controlC1");
  if (geteuid() != 0) {  // root opens anything: the permission step is a user's
    fs::permissions(snd / "controlC1", fs::perms::owner_read);
    EXPECT_TRUE(watch->Next(1000).empty());
    fs::permissions(snd / "controlC1", fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(watch->Next(1000), (std::vector<CardEvent>{{true, 1}}));
  touch("midiC1D1");  // seen again: not new
  EXPECT_TRUE(watch->Next(200).empty());
  fs::remove(snd / "midiC1D0");
  fs::remove(snd / "controlC1");
  EXPECT_EQ(watch->Next(1000), (std::vector<CardEvent>{{false, 1}}));
  touch("controlC1");  // back under the same number
  EXPECT_EQ(watch->Next(1000), (std::vector<CardEvent>{{true, 1}}));

  // The whole folder goes (the sound modules unloaded) and comes back; its cards
  // are told in card order whichever node the file system deletes first.
  fs::remove_all(snd);
  std::vector<CardEvent> gone;
  for (int k = 0; k < 5 && gone.size() < 2; ++k)
    for (const CardEvent& e : watch->Next(200)) gone.push_back(e);
  EXPECT_EQ(gone, (std::vector<CardEvent>{{false, 0}, {false, 1}}));
  fs::create_directory(snd);
  touch("controlC2");
  std::vector<CardEvent> back;
  for (int k = 0; k < 5 && back.empty(); ++k) back = watch->Next(200);
  EXPECT_EQ(back, (std::vector<CardEvent>{{true, 2}}));
}

// --serial and --usb-path pick an instrument by what `ports` shows of its card:
// a card with two pairs gives its first; two cards that pass are refused.
TEST(ChooseByIdentity, SerialAndUsbPathPickOneCard) {
  PortList ports;
  for (const char* name :
       {"QELMAR A OUT 1", "QELMAR A OUT 2", "QELMAR B OUT 1", "QELMAR C OUT 1", "QELMAR D OUT 1"})
    ports.outputs.push_back({uint32_t(ports.outputs.size()), name, true});
  for (const char* name :
       {"QELMAR A IN 1", "QELMAR A IN 2", "QELMAR B IN 1", "QELMAR C IN 1", "QELMAR D IN 1"})
    ports.inputs.push_back({uint32_t(ports.inputs.size()), name, true});
  const std::map<uint32_t, CardPorts> cards = {{0, {1, {"SA", "usb 1-1"}, {}, {}}},
                                               {1, {1, {"SA", "usb 1-1"}, {}, {}}},
                                               {2, {2, {"TWIN", "usb 1-2.1"}, {}, {}}},
                                               {3, {3, {"TWIN", "usb 1-2.2"}, {}, {}}},
                                               {4, {4, {"", "devices/platform/x.0"}, {}, {}}}};
  using S = std::optional<std::string>;
  const struct {
    S serial, path;
    int output;  // the chosen output; -1: none
    std::string error = "";
    bool usage = false;
  } cases[] = {
      {"SA", {}, 0},
      {{}, "usb 1-2.2", 3},
      {{}, "1-2.1", 2},  // as typed without "usb "
      {"TWIN", "1-2.2", 3},
      {"SA", "1-2.2", -1, "no instrument with serial SA at USB path 1-2.2"},
      {"TWIN",
       {},
       -1,
       "more than one instrument has serial TWIN; tell them apart as `tamblet-cli ports` shows "
       "them",
       true},
      {"sa", {}, -1, "no instrument with serial sa"},
      {{}, "1-2", -1, "no instrument with USB path 1-2"},
      {{}, "devices/platform/x.0", -1, "no instrument with USB path devices/platform/x.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial.value_or("-") + " " + c.path.value_or("-"));
    ChoiceError error;
    const auto chosen = ChooseByIdentity(ports, cards, {c.serial, c.path}, error);
    EXPECT_EQ(chosen ? int(chosen->output.index) : -1, c.output);
    if (chosen) continue;
    EXPECT_EQ(error.text, c.error);
    EXPECT_EQ(error.usage, c.usage);
  }
}

TEST(MatchCards, ALsaPortsFollowCardByCardUntilTheListDiffers) {
  PortList ports;
  for (const char* name : {"A OUT 1", "A OUT 2", "B OUT 1", "JACK OUT"})
    ports.outputs.push_back({uint32_t(ports.outputs.size()), name, true});
  const CardPorts a{3, {"S", "usb 1-1"}, {"A OUT 1", "A OUT 2"}, {}};
  const CardPorts b{4, {"", "usb 1-2"}, {"B OUT 1"}, {}};
  const CardPorts late{5, {"", "usb 1-3"}, {"C OUT 1"}, {}};
  auto cards_of = [&ports](const std::vector<CardPorts>& cards) {
    std::vector<std::pair<uint32_t, int>> out;
    for (const auto& [index, card] : MatchCards(ports, cards)) out.push_back({index, card.card});
    return out;
  };
  using Got = std::vector<std::pair<uint32_t, int>>;
  EXPECT_EQ(cards_of({a, b}), (Got{{0, 3}, {1, 3}, {2, 4}}));
  EXPECT_EQ(cards_of({a, late, b}), (Got{{0, 3}, {1, 3}}));  // came after the layer listed
  EXPECT_EQ(cards_of({b}), Got{});
}

}  // namespace
}  // namespace tamblet
