// Which ports are the device's and which instruments they make: the acceptance
// rule on capability records, the names the device's ports take, and pairing.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "instruments/instrument_ports.h"
#include "instruments/port_rule.h"
#include "midi/midi_header.h"

namespace tamblet {
namespace {

using midi::MidiCaps;
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

// Accepted ports of one card pair in the order of their indices, whatever
// order the inputs come in; an output without a partner makes no instrument.
TEST(PairInstrumentsTest, KthOutputOfACardWithItsKthInput) {
  struct Case {
    const char* name;
    std::vector<std::string> outputs, inputs;  // "-" marks a port the rule rejects
    std::vector<std::tuple<uint32_t, uint32_t, std::string>> instruments;  // output, input, label
    std::vector<std::string> unpaired;
  };
  const Case cases[] = {
      {"two cards, inputs in another order",
       {"QELMAR A OUT 1", "QELMAR B OUT 1", "QELMAR B OUT 2", "QELMAR C OUT 1", "-QELMAR D OUT 1"},
       {"QELMAR B IN 1", "QELMAR A IN 1", "QELMAR B IN 2"},
       {{0, 1, "QELMAR A OUT 1"}, {1, 0, "QELMAR B OUT 1"}, {2, 2, "QELMAR B OUT 2"}},
       {"QELMAR C OUT 1"}},
      {"two clients of one name, told apart by index",
       {"QELMAR S OUT 1", "QELMAR S OUT 1"},
       {"QELMAR S IN 1", "QELMAR S IN 1", "QELMAR S IN 2"},
       {{0, 0, "QELMAR S OUT 1 #0"}, {1, 1, "QELMAR S OUT 1 #1"}},
       {"QELMAR S IN 2"}},
      {"inputs only", {"-Other synth"}, {"QELMAR A IN 1"}, {}, {"QELMAR A IN 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortList ports;
    for (const auto& [names, list] :
         {std::pair(&c.outputs, &ports.outputs), std::pair(&c.inputs, &ports.inputs)}) {
      for (const std::string& name : *names) {
        const bool rejected = name.starts_with("-");
        list->push_back({uint32_t(list->size()), rejected ? name.substr(1) : name, !rejected});
      }
    }
    const std::vector<Instrument> instruments = PairInstruments(ports);
    std::vector<std::tuple<uint32_t, uint32_t, std::string>> got;
    for (const Instrument& i : instruments)
      got.emplace_back(i.output.index, i.input.index, i.label);
    EXPECT_EQ(got, c.instruments);
    std::vector<std::string> unpaired;
    for (const PortEntry& port : UnpairedPorts(ports, instruments)) unpaired.push_back(port.name);
    EXPECT_EQ(unpaired, c.unpaired);
  }
}

}  // namespace
}  // namespace tamblet
