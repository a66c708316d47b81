#include "midi/jack/jack_port_names.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "midi/jack/jack_midi.h"
#include "tests/jack/jack_test_support.h"

namespace tamblet::midi {
namespace {

struct Expected {
  std::string name;
  uint16_t mid;
  uint16_t pid;
  std::string jack_name;
};

void ExpectEndpoints(const std::vector<JackEndpoint>& got, const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(test::CapsName(got[i].caps), want[i].name);
    EXPECT_EQ(got[i].caps.wMid, want[i].mid);
    EXPECT_EQ(got[i].caps.wPid, want[i].pid);
    EXPECT_EQ(got[i].jack_name, want[i].jack_name);
  }
}

TEST(JackPortNames, DeviceClientsGetDeviceIdsAndNumberedNames) {
  const std::vector<JackPortInfo> ports = {
      {"QELMAR SIM", "in", true},    {"QELMAR SIM", "out", false},   {"synth", "midi_in", true},
      {"QELMAR SIM", "in2", true},   {"keyboard", "capture", false}, {"QELMAR X7", "a", true},
      {"QELMAR SIM", "out2", false},
  };
  const JackEndpoints endpoints = NameJackPorts(ports);
  ExpectEndpoints(endpoints.outputs, {
                                         {"QELMAR SIM OUT 1", 37, 4, "QELMAR SIM:in"},
                                         {"synth:midi_in", 0, 0, "synth:midi_in"},
                                         {"QELMAR SIM OUT 2", 37, 4, "QELMAR SIM:in2"},
                                         {"QELMAR X7 OUT 1", 37, 4, "QELMAR X7:a"},
                                     });
  ExpectEndpoints(endpoints.inputs, {
                                        {"QELMAR SIM IN 1", 37, 5, "QELMAR SIM:out"},
                                        {"keyboard:capture", 0, 0, "keyboard:capture"},
                                        {"QELMAR SIM IN 2", 37, 5, "QELMAR SIM:out2"},
                                    });
}

TEST(JackPortNames, OnlyTheExactPrefixMarksADevice) {
  const std::vector<JackPortInfo> ports = {
      {"qelmar SIM", "in", true},  // case differs
      {"QELMAR", "in", true},      // no space after the maker word
      {"QELMARSIM", "in", true},  {" QELMAR SIM", "in", true},
      {"QELMAR ", "in", true},  // empty model word: still the maker's
  };
  const JackEndpoints endpoints = NameJackPorts(ports);
  ExpectEndpoints(endpoints.outputs, {
                                         {"qelmar SIM:in", 0, 0, "qelmar SIM:in"},
                                         {"QELMAR:in", 0, 0, "QELMAR:in"},
                                         {"QELMARSIM:in", 0, 0, "QELMARSIM:in"},
                                         {" QELMAR SIM:in", 0, 0, " QELMAR SIM:in"},
                                         {"QELMAR  OUT 1", 37, 4, "QELMAR :in"},
                                     });
  EXPECT_TRUE(endpoints.inputs.empty());
}

TEST(JackPortNames, LongNamesAreCutTo32BytesWithoutTerminator) {
  const std::string client = "QELMAR ABCDEFGHIJKLMNOPQRSTUVWXYZ";  // 33 bytes
  const std::vector<JackPortInfo> ports = {{client, "in", true},
                                           {"a-very-long-client-name-indeed", "port", false}};
  const JackEndpoints endpoints = NameJackPorts(ports);
  ASSERT_EQ(endpoints.outputs.size(), 1u);
  ASSERT_EQ(endpoints.inputs.size(), 1u);
  EXPECT_EQ(std::string(endpoints.outputs[0].caps.szPname, 32), client.substr(0, 32));
  EXPECT_EQ(endpoints.outputs[0].jack_name, client + ":in");
  EXPECT_EQ(std::string(endpoints.inputs[0].caps.szPname, 32),
            std::string("a-very-long-client-name-indeed:port").substr(0, 32));
}

TEST(JackMidiLayer, WithoutAServerThereAreNoPortsAndNothingOpens) {
  JackMidiOptions options;
  options.server_name = "tamblet-no-server-" + std::to_string(getpid());
  const auto start = std::chrono::steady_clock::now();
  auto layer = CreateJackMidiLayer(options);
  EXPECT_EQ(layer->OutGetNumDevs(), 0u);
  EXPECT_EQ(layer->InGetNumDevs(), 0u);
  MidiCaps caps;
  EXPECT_EQ(layer->OutGetDevCaps(0, &caps), MMSYSERR_BADDEVICEID);
  PortHandle port = nullptr;
  EXPECT_EQ(layer->OutOpen(&port, 0, nullptr, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(layer->InOpen(&port, 0, nullptr, 0), MMSYSERR_BADDEVICEID);
  layer.reset();
  // "At once": a search for a server must never stall start-up.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace tamblet::midi
