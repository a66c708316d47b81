#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "app/port_discovery.h"
#include "protocol/display.h"
#include "tests/app/fake_enumeration.h"
#include "tests/support/recording_window.h"

namespace tamblet {
namespace {

using test::Caps;
using test::FakeEnumeration;
using test::FakePort;
using test::ProgressOp;
using test::RecordingWindow;

constexpr auto kOut = PortDirection::kOutput;
constexpr auto kIn = PortDirection::kInput;

struct RuleCase {
  const char* what;
  uint16_t mid;
  uint16_t pid;
  std::string name;  // up to 32 bytes; a 32-byte name has no NUL
  PortDirection direction;
  bool accepted;
};

std::string Letters(size_t n) { return std::string(n, 'A'); }

// A test name from the case's description.
std::string CaseName(const char* what) {
  std::string name;
  for (const char* c = what; *c; ++c)
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

class AcceptanceRule : public testing::TestWithParam<RuleCase> {};

TEST_P(AcceptanceRule, JudgesRecord) {
  const RuleCase& c = GetParam();
  ASSERT_LE(c.name.size(), 32u);
  // On the heap with its exact size, so that reading past the name is caught.
  auto caps = std::make_unique<midi::MidiCaps>(Caps(c.mid, c.pid, c.name));
  EXPECT_EQ(AcceptPort(*caps, c.direction), c.accepted) << c.what << ": '" << c.name << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Names, AcceptanceRule,
    testing::Values(
        RuleCase{"output with model word", 37, 4, "QELMAR ABC OUT 1", kOut, true},
        RuleCase{"name ends right after OUT", 37, 4, "QELMAR ABC OUT", kOut, false},
        RuleCase{"OUT followed by space only", 37, 4, "QELMAR ABC OUT ", kOut, true},
        RuleCase{"second word not the direction", 37, 4, "QELMAR ABC DEF OUT 1", kOut, false},
        RuleCase{"empty model word", 37, 4, "QELMAR  OUT 1", kOut, true},
        RuleCase{"maker in lower case", 37, 4, "qelmar ABC OUT 1", kOut, false},
        RuleCase{"maker differs in one letter's case", 37, 4, "QELMAr ABC OUT 1", kOut, false},
        RuleCase{"direction in lower case", 37, 4, "QELMAR ABC out 1", kOut, false},
        RuleCase{"no space after the prefix", 37, 4, "QELMARX ABC OUT 1", kOut, false},
        RuleCase{"no space after the model word", 37, 4, "QELMAR ABC", kOut, false},
        RuleCase{"empty name", 37, 4, "", kOut, false},
        RuleCase{"output name with input product", 37, 5, "QELMAR ABC OUT 1", kOut, false},
        RuleCase{"output name as input port", 37, 5, "QELMAR ABC OUT 1", kIn, false},
        RuleCase{"other manufacturer", 36, 4, "QELMAR ABC OUT 1", kOut, false},
        RuleCase{"manufacturer in high byte", 37 + 256, 4, "QELMAR ABC OUT 1", kOut, false},
        RuleCase{"input with model word", 37, 5, "QELMAR ABC IN 1", kIn, true},
        RuleCase{"INPUT is not IN and a space", 37, 5, "QELMAR ABC INPUT", kIn, false},
        RuleCase{"input name with output product", 37, 4, "QELMAR ABC IN 1", kIn, false},
        RuleCase{"input name as output port", 37, 4, "QELMAR ABC IN 1", kOut, false},
        RuleCase{"NUL inside the model word", 37, 4, std::string("QELMAR AB\0 OUT 1", 16), kOut,
                 false},
        // 32 bytes, no NUL anywhere.
        RuleCase{"OUT fills the last bytes", 37, 4, "QELMAR " + Letters(20) + " OUT ", kOut, true},
        RuleCase{"OUT would run past the name", 37, 4, "QELMAR " + Letters(21) + " OUT", kOut,
                 false},
        RuleCase{"IN fills the last bytes", 37, 5, "QELMAR " + Letters(21) + " IN ", kIn, true},
        RuleCase{"IN would run past the name", 37, 5, "QELMAR " + Letters(22) + " IN", kIn, false},
        RuleCase{"first space is the last byte", 37, 4, "QELMAR " + Letters(24) + " ", kOut, false},
        RuleCase{"no space in the name", 37, 4, "QELMAR " + Letters(25), kOut, false}),
    [](const testing::TestParamInfo<RuleCase>& info) { return CaseName(info.param.what); });

TEST(PortNameTest, StopsAtNulOrAfter32Bytes) {
  EXPECT_EQ(PortName(Caps(37, 4, "QELMAR ABC OUT 1")), "QELMAR ABC OUT 1");
  const std::string full = "QELMAR " + Letters(20) + " OUT ";
  EXPECT_EQ(PortName(Caps(37, 4, full)), full);
}

const FakePort kGoodOut{Caps(37, 4, "QELMAR ABC OUT 1")};
const FakePort kGoodOut2{Caps(37, 4, "QELMAR XYZ OUT 2")};
const FakePort kGoodIn{Caps(37, 5, "QELMAR ABC IN 1")};
const FakePort kOtherOut{Caps(1, 4, "Some Synth OUT ")};
const FakePort kOtherIn{Caps(37, 5, "QELMAR ABC INPUT")};

std::vector<ProgressOp> OpeningProgress() {
  return {{PBM_SETRANGE, 0, MakeRange(0, 35)}, {PBM_SETPOS, 0, 0}};
}

TEST(DiscoveryTest, BothFound) {
  FakeEnumeration midi;
  midi.outputs = {kOtherOut, kGoodOut};
  midi.inputs = {kOtherIn, kOtherIn, kGoodIn};
  RecordingWindow window;
  const DiscoveryResult result = DiscoverPortPair(midi, window);
  EXPECT_TRUE(result.found());
  EXPECT_EQ(result.output_index, 1u);
  EXPECT_EQ(result.input_index, 2u);
  EXPECT_EQ(window.Text(IDC_OUTPUT_PORT), "QELMAR ABC OUT 1");
  EXPECT_EQ(window.Text(IDC_INPUT_PORT), "QELMAR ABC IN 1");
  EXPECT_TRUE(window.message_boxes().empty());
  EXPECT_TRUE(window.StatusTexts().empty());
  EXPECT_EQ(window.ProgressOps(), OpeningProgress());
}

TEST(DiscoveryTest, NoOutputReportsOnceAndNeverAsksForInputs) {
  for (const std::vector<FakePort>& outputs :
       {std::vector<FakePort>{}, std::vector<FakePort>{kOtherOut, kGoodIn}}) {
    FakeEnumeration midi;
    midi.outputs = outputs;
    midi.inputs = {kGoodIn};
    RecordingWindow window;
    const DiscoveryResult result = DiscoverPortPair(midi, window);
    EXPECT_FALSE(result.found());
    EXPECT_FALSE(result.output_index);
    EXPECT_FALSE(result.input_index);
    EXPECT_EQ(window.message_boxes(), std::vector<std::string>{"QELMAR USB Driver not found!!"});
    EXPECT_EQ(window.StatusTexts(), std::vector<std::string>{"QELMAR USB Driver not found!!"});
    EXPECT_EQ(window.Text(IDC_OUTPUT_PORT), "");
    EXPECT_EQ(window.Text(IDC_INPUT_PORT), "");
    EXPECT_EQ(midi.input_counts, 0);
    EXPECT_TRUE(midi.queried_inputs.empty());
    EXPECT_EQ(window.ProgressOps(), OpeningProgress());
  }
}

TEST(DiscoveryTest, OutputWithoutInput) {
  FakeEnumeration midi;
  midi.outputs = {kGoodOut};
  midi.inputs = {kOtherIn};
  RecordingWindow window;
  const DiscoveryResult result = DiscoverPortPair(midi, window);
  EXPECT_FALSE(result.found());
  EXPECT_EQ(result.output_index, 0u);
  EXPECT_FALSE(result.input_index);
  EXPECT_EQ(window.Text(IDC_OUTPUT_PORT), "QELMAR ABC OUT 1");
  EXPECT_EQ(window.Text(IDC_INPUT_PORT), "");
  EXPECT_EQ(window.message_boxes().size(), 1u);
  EXPECT_EQ(window.StatusTexts(), std::vector<std::string>{"QELMAR USB Driver not found!!"});
}

TEST(DiscoveryTest, LowerIndexWinsAndLaterPortsAreNotQueried) {
  FakeEnumeration midi;
  midi.outputs = {kOtherOut, kGoodOut, kGoodOut2, kOtherOut};
  midi.inputs = {kGoodIn, kGoodIn};
  RecordingWindow window;
  const DiscoveryResult result = DiscoverPortPair(midi, window);
  EXPECT_EQ(result.output_index, 1u);
  EXPECT_EQ(result.input_index, 0u);
  EXPECT_EQ(midi.queried_outputs, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(midi.queried_inputs, (std::vector<uint32_t>{0}));
  EXPECT_EQ(window.Text(IDC_OUTPUT_PORT), "QELMAR ABC OUT 1");
}

TEST(DiscoveryTest, FailedQueryIsNeverAccepted) {
  FakePort failing_out = kGoodOut;
  failing_out.query_result = midi::MMSYSERR_NODRIVER;
  FakePort failing_in = kGoodIn;
  failing_in.query_result = midi::MMSYSERR_ERROR;

  FakeEnumeration midi;
  midi.outputs = {failing_out, kGoodOut2};
  midi.inputs = {failing_in, kGoodIn};
  RecordingWindow window;
  const DiscoveryResult result = DiscoverPortPair(midi, window);
  EXPECT_EQ(result.output_index, 1u);
  EXPECT_EQ(result.input_index, 1u);
  EXPECT_EQ(window.Text(IDC_OUTPUT_PORT), "QELMAR XYZ OUT 2");

  FakeEnumeration only_failing;
  only_failing.outputs = {failing_out};
  only_failing.inputs = {kGoodIn};
  RecordingWindow window2;
  EXPECT_FALSE(DiscoverPortPair(only_failing, window2).found());
  EXPECT_EQ(window2.message_boxes().size(), 1u);
}

}  // namespace
}  // namespace tamblet
