// tamblet-cli's core through the real dialog logic and port pair, against
// simulated devices in-process: exit statuses, JSON lines, the progress bar on
// a pseudo-terminal, several instruments at once, and Ctrl-C.

#include "cli/cli.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/instrument_ports.h"
#include "midi/system/composite_midi_layer.h"
#include "sim/device.h"
#include "sim/simulated_midi.h"
#include "tests/support/endless_device.h"
#include "tests/support/fast_waits.h"
#include "tests/support/settled_waits.h"
#include "update/update_writer.h"

namespace tamblet::cli {
namespace {

constexpr uint32_t kImageSize = 0x10000;

// Named after the test: ctest runs tests side by side.
std::string GoodFile() {
  const auto path =
      std::filesystem::path(testing::TempDir()) /
      (testing::UnitTest::GetInstance()->current_test_info()->name() + std::string(".pgm"));
  const UpdateHeader header{"MODEL-X", {'1', '.', '0', '2'}, 1, 0x4000, kImageSize, {{0, 0x8000}}};
  const auto bytes =
      WriteUpdateFile(header, std::vector<uint8_t>(kImageSize, 0x5A), BlockChoice::kAll);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path.string();
}

// Instruments "QELMAR SIM<k>", each its own driver and device, behind one
// layer after a port no rule accepts; output written to a file and read back.
struct Rig {
  explicit Rig(int instruments) {
    std::vector<std::unique_ptr<midi::MidiLayer>> layers;
    auto foreign = std::make_unique<midi::SimulatedMidi>(driver_waits_);
    foreign->AddOutPort(midi::MakeCaps(1, 1, "Other synth"));
    layers.push_back(std::move(foreign));
    for (int k = 0; k < instruments; ++k) {
      devices_.push_back(
          std::make_unique<sim::Device>(sim::DeviceConfig{"MODEL-X", kImageSize, 0xFF, {}}));
      peers_.push_back(std::make_unique<test::EndlessDevice>(*devices_.back()));
      peers_.back()->endless = false;
      auto midi = std::make_unique<midi::SimulatedMidi>(driver_waits_);
      const std::string card = "QELMAR SIM" + std::to_string(k + 1);
      const uint32_t out = midi->AddOutPort(midi::MakeCaps(37, 4, card + " OUT 1"));
      const uint32_t in = midi->AddInPort(midi::MakeCaps(37, 5, card + " IN 1"));
      midi->Connect(peers_.back().get(), out, in);
      drivers_.push_back(midi.get());
      layers.push_back(std::move(midi));
    }
    layer_ = std::make_unique<midi::CompositeMidiLayer>(std::move(layers));
  }

  int Run(std::vector<std::string> args, bool terminal = false, int out_fd = -1) {
    if (out_fd < 0) out_fd = out_;
    cli_ = std::make_unique<Cli>(CliContext{*layer_, waits_, out_fd, err_, terminal, nullptr,
                                            [this](bool on) { inhibits_.push_back(on); }});
    return cli_->Run(args);
  }
  static std::string Read(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
  }
  std::vector<std::string> Lines() const {
    std::istringstream text(Read(out_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  test::FastWaits driver_waits_;
  std::vector<std::unique_ptr<sim::Device>> devices_;
  std::vector<std::unique_ptr<test::EndlessDevice>> peers_;  // see each request first
  std::vector<midi::SimulatedMidi*> drivers_;
  std::unique_ptr<midi::MidiLayer> layer_;
  test::SettledWaits waits_{[this] {
    for (auto* driver : drivers_) driver->Drain();
  }};
  std::unique_ptr<FILE, int (*)(FILE*)> out_file_{std::tmpfile(), fclose};
  std::unique_ptr<FILE, int (*)(FILE*)> err_file_{std::tmpfile(), fclose};
  int out_ = fileno(out_file_.get());
  int err_ = fileno(err_file_.get());
  std::vector<bool> inhibits_;
  std::unique_ptr<Cli> cli_;
};

struct RunCase {
  const char* name;
  int instruments;
  std::vector<std::string> args;  // "GOOD" stands for a good file
  int exit;
  const char* final_text;  // last line; "" when nothing runs
  int updated = -1;        // the device asked; the others get no request
};

TEST(CliUpdate, ExitStatusFollowsTheLastTextAndOnlyTheChosenDeviceIsAsked) {
  const std::string good = GoodFile();
  // clang-format off
  const std::vector<RunCase> cases = {
      {"complete", 2, {"update", "GOOD"}, 0, "Complete!", 0},
      {"no file", 1, {"update", "/nonexistent.pgm"}, 3, "File not found!!"},
      {"no device", 0, {"update", "GOOD"}, 4, "Device open failed!!"},
      {"by index", 2, {"update", "GOOD", "--input", "1"}, 0, "Complete!", 1},
      {"by name", 2, {"update", "GOOD", "--output", "QELMAR SIM2 OUT 1"}, 0, "Complete!", 1},
      {"unknown port", 1, {"update", "GOOD", "--output", "9"}, 4, ""},
      {"foreign port", 1, {"update", "GOOD", "--output", "0"}, 4, ""},
      {"no file given", 1, {"update"}, 2, ""},
      {"unknown option", 1, {"update", "GOOD", "--fast"}, 2, ""},
      {"all and output", 1, {"update", "GOOD", "--all", "--output", "1"}, 2, ""},
      {"no command", 1, {}, 2, ""},
  };
  // clang-format on
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.instruments);
    std::vector<std::string> args = c.args;
    for (auto& arg : args)
      if (arg == "GOOD") arg = good;
    EXPECT_EQ(rig.Run(args), c.exit);
    const auto lines = rig.Lines();
    EXPECT_EQ(lines.empty() ? "" : lines.back(), c.final_text);
    for (int k = 0; k < c.instruments; ++k)
      EXPECT_EQ(rig.devices_[k]->stats().requests > 0, k == c.updated) << k;
    // Sleep is held off while a run goes on.
    EXPECT_EQ(rig.inhibits_,
              (*c.final_text ? std::vector<bool>{true, false} : std::vector<bool>{}));
  }
}

TEST(CliUpdate, JsonLinesCarryTextsProgressAndTheFinalStatus) {
  Rig rig(1);
  rig.devices_[0]->InjectFault(*sim::ParseFaultRule("VerifySum:2:fail-status"));
  EXPECT_EQ(rig.Run({"update", GoodFile(), "--json"}), 1);
  const std::string port = R"({"port":"QELMAR SIM1 OUT 1",)";
  const auto lines = rig.Lines();
  size_t texts = 0;
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with(port) && line.ends_with("}")) << line;
    texts += line.starts_with(port + R"("status":)");
  }
  // The texts' order is the dialog's own (held by the load test): here each reaches a line.
  EXPECT_EQ(texts, 10u);
  for (const char* expected : {R"("status":"Load Version 1.02"})", R"("status":"Verify error!!"})",
                               R"("min":0,"max":5,"position":3})"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), port + expected), lines.end()) << expected;
  EXPECT_TRUE(std::regex_match(
      lines.back(), std::regex(R"re(\{"port":"QELMAR SIM1 OUT 1","final":"Verify error!!",)re"
                               R"re("exit":1,"seconds":[0-9.]+\})re")));
}

TEST(CliUpdate, ProgressBarOnATerminal) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::string screen;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
      screen.append(buffer, size_t(n));
  });
  Rig rig(1);
  EXPECT_EQ(rig.Run({"update", GoodFile()}, true, slave), 0);
  close(slave);  // the reader sees the end
  reader.join();
  close(master);
  // Each bar is erased before the next text; how a bar is drawn is the console test's.
  for (const char* expected : {"[..............................]   0/5\r\033[J",
                               "[##############################]   5/5\r\033[JCopying....\r\n",
                               "Complete!\r\n[##############################]   2/2\r\n"})
    EXPECT_NE(screen.find(expected), std::string::npos) << expected;
  EXPECT_TRUE(screen.ends_with("]   2/2\r\n")) << screen.substr(screen.size() - 60);
}

TEST(CliUpdate, AllInstrumentsAtOnceOneFailing) {
  Rig rig(3);
  rig.devices_[1]->InjectFault(*sim::ParseFaultRule("WriteData:3:no-reply"));
  EXPECT_EQ(rig.Run({"update", GoodFile(), "--all"}), 1);
  const auto lines = rig.Lines();
  for (int k : {1, 2, 3}) {
    const std::string port = "QELMAR SIM" + std::to_string(k) + " OUT 1";
    const std::string final_text = k == 2 ? "Load failed!!" : "Complete!";
    EXPECT_NE(std::find(lines.begin(), lines.end(), port + ": " + final_text), lines.end());
    const std::regex row(port + " +" + final_text + R"( +[0-9]+\.[0-9] s)");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return std::regex_match(l, row); }),
              1)
        << port;
  }
}

TEST(CliUpdate, SecondCtrlCStopsAfterClosingThePorts) {
  for (int presses : {1, 2}) {
    SCOPED_TRACE(presses);
    Rig rig(1);
    int requests = 0;
    rig.peers_[0]->on_request = [&](sim::Command) {
      if (++requests != 6) return;  // inside the data load
      for (int i = 0; i < presses; ++i) EXPECT_FALSE(rig.cli_->Interrupt());
    };
    EXPECT_EQ(rig.Run({"update", GoodFile()}), presses == 1 ? 0 : kExitStopped);
    EXPECT_TRUE(presses == 1 || requests == 6) << "a request after the stop";
    EXPECT_FALSE(rig.drivers_[0]->IsOutOpen(0) || rig.drivers_[0]->IsInOpen(0)) << "left open";
    const std::string notes = Rig::Read(rig.err_);
    EXPECT_NE(notes.find("Press Ctrl-C again within 3 s"), std::string::npos);
    EXPECT_EQ(notes.find("stopped;") != std::string::npos, presses == 2);
  }
  // Presses further apart than 3 s each only warn.
  StopSwitch stop;
  const auto t0 = std::chrono::steady_clock::time_point{};
  EXPECT_EQ(stop.Interrupt(t0), StopSwitch::Press::kWarned);
  EXPECT_EQ(stop.Interrupt(t0 + std::chrono::milliseconds(3001)), StopSwitch::Press::kWarned);
  EXPECT_EQ(stop.Interrupt(t0 + std::chrono::milliseconds(6000)), StopSwitch::Press::kForced);
}

// A port that another program holds: the update ends at "Device open failed!!"
// and the holder, asked through the instrument's own layer, is named on the
// error stream, or in a message object with --json. Nothing is sent.
TEST(CliUpdate, NamesTheProgramThatHoldsABusyPort) {
  const midi::PortHolder amidi{4321, "amidi"};
  for (const bool output : {true, false}) {
    for (const bool json : {false, true}) {
      SCOPED_TRACE(std::string(output ? "output" : "input") + (json ? " json" : ""));
      Rig rig(2);  // the second instrument's ports are the layer's index 2 and 1, its driver's 0
      const auto busy = [&amidi](auto faults) {
        faults.open = midi::MMSYSERR_ALLOCATED;
        faults.holder = amidi;
        return faults;
      };
      if (output) {
        rig.drivers_[1]->SetOutFaults(0, busy(midi::OutPortFaults{}));
      } else {
        rig.drivers_[1]->SetInFaults(0, busy(midi::InPortFaults{}));
      }
      std::vector<std::string> args{"update", GoodFile(), "--output", "QELMAR SIM2 OUT 1"};
      if (json) args.push_back("--json");
      EXPECT_EQ(rig.Run(args), kExitOpenFailed);
      const std::string out = Rig::Read(rig.out_), err = Rig::Read(rig.err_);
      EXPECT_NE(out.find("Device open failed!!"), std::string::npos) << out;
      const std::string named = "in use by amidi (process 4321)";
      EXPECT_NE((json ? out : err).find(named), std::string::npos) << out << err;
      EXPECT_EQ(rig.devices_[1]->stats().requests, 0u);
    }
  }
}

TEST(CliPorts, PairsOnePerInstrumentAndMarksTheWindowsPair) {
  // Outputs: A, B, B, C(no input); inputs: B, A, B. Pairs: A-A, B-B(first), B-B(second).
  midi::SimulatedMidi midi;
  for (const char* name : {"QELMAR A OUT 1", "QELMAR B OUT 1", "QELMAR B OUT 2", "QELMAR C OUT 1"})
    midi.AddOutPort(midi::MakeCaps(37, 4, name));
  midi.AddOutPort(midi::MakeCaps(37, 5, "QELMAR D OUT 1"));  // wrong product id
  for (const char* name : {"QELMAR B IN 1", "QELMAR A IN 1", "QELMAR B IN 2"})
    midi.AddInPort(midi::MakeCaps(37, 5, name));
  const auto instruments = PairInstruments(ListPorts(midi));
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (const Instrument& i : instruments) pairs.push_back({i.output.index, i.input.index});
  EXPECT_EQ(pairs, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {1, 0}, {2, 2}}));

  Rig rig(0);  // for its output file
  Cli cli(CliContext{midi, rig.waits_, rig.out_, rig.err_, false, nullptr, nullptr});
  EXPECT_EQ(cli.Run({"ports", "--json"}), 0);
  const std::string text = Rig::Read(rig.out_);
  // The window takes the first accepted output and the first accepted input.
  for (
      const char* expected :
      {R"({"direction":"output","index":0,"name":"QELMAR A OUT 1","accepted":true,"window":true})",
       R"({"direction":"output","index":4,"name":"QELMAR D OUT 1","accepted":false,"window":false})",
       R"({"direction":"input","index":0,"name":"QELMAR B IN 1","accepted":true,"window":true})",
       R"({"instrument":3,"output":2,"input":2,"output_name":"QELMAR B OUT 2","input_name":"QELMAR B IN 2","window":false})",
       "{\"exit\":0}\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
}

}  // namespace
}  // namespace tamblet::cli
