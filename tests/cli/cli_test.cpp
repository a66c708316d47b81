// tamblet-cli's core through the real dialog logic and port pair, against
// simulated devices in-process: exit statuses, JSON lines, several instruments
// at once, and Ctrl-C.

#include "cli/cli.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "cli/forced_stop.h"
#include "cli/safe_text.h"
#include "cli/system_hints.h"
#include "cli/update_report.h"
#include "instruments/instrument_ports.h"
#include "tests/support/simulated_instrument.h"
#include "tests/support/update_files.h"
#include "update/file_reader.h"
#include "update/update_writer.h"

namespace tamblet::cli {
namespace {

constexpr uint32_t kImageSize = 0x10000;

std::string GoodFile() {
  static const std::string path =
      test::TempUpdateFile({"MODEL-X", {'1', '.', '0', '2'}, 1, 0x4000, kImageSize, {{0, 0x8000}}},
                           std::vector<uint8_t>(kImageSize, 0x5A));
  return path;
}

// Instruments named `cards` ("QELMAR SIM1", ... when counted), each its own
// driver and device, behind one layer after a port no rule accepts (and an
// instrument's output without its input when `lone`); output written to files
// and read back.
struct Rig : test::SimulatedInstruments {
  explicit Rig(int instruments, bool lone = false) : Rig(Cards("QELMAR SIM", instruments), lone) {}
  explicit Rig(const std::vector<std::string>& cards, bool lone = false)
      : test::SimulatedInstruments(cards, {"MODEL-X", kImageSize, 0xFF, {}}, {"", Others(lone)}) {}
  static std::vector<midi::MidiCaps> Others(bool lone) {
    if (!lone) return {test::OtherOutput("Other synth")};
    std::string cut = "QELMAR ";  // 13 two-byte characters: the field ends inside the last
    for (int i = 0; i < 13; ++i) cut += "\xc3\xa9";
    return {test::OtherOutput("Other synth"),
            midi::MakeCaps(kMakerMid, kDeviceOutputPid, "QELMAR LONE OUT 1"),
            test::OtherOutput(cut)};
  }

  // On `on` when given, the rig's own layer otherwise; `why` says why no port is seen.
  int Run(std::vector<std::string> args, midi::MidiLayer* on = nullptr,
          std::function<std::vector<std::string>()> why = nullptr) {
    cli_ = std::make_unique<Cli>(CliContext{
        .midi = on ? *on : *layer,
        .waits = waits,
        .streams = {.out_fd = out_, .err_fd = err_, .clock = [] { return kNow; }},
        .system = {.why_no_ports = why,
                   .alsa_cards = alsa_cards_,
                   .watch_cards = watch_cards_,
                   .open_card_layer = open_card_layer_,
                   .card_identity = card_identity_,
                   .no_sound_card = no_sound_card_},
        .inhibit_sleep =
            [this](bool on) {
              inhibits_.push_back(on);
              if (on_inhibit_) on_inhibit_(on);
            },
    });
    return cli_->Run(args);
  }
  static std::string Read(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
  }
  static constexpr double kNow = 2.5;  // every "t"
  std::vector<std::string> Lines() const {
    std::istringstream text(Read(out_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  std::unique_ptr<FILE, int (*)(FILE*)> out_file_{std::tmpfile(), fclose};
  std::unique_ptr<FILE, int (*)(FILE*)> err_file_{std::tmpfile(), fclose};
  int out_ = fileno(out_file_.get());
  int err_ = fileno(err_file_.get());
  std::vector<bool> inhibits_;
  std::function<void(bool)> on_inhibit_;
  std::function<std::vector<CardPorts>()> alsa_cards_;
  std::function<std::unique_ptr<CardSource>()> watch_cards_;
  std::function<std::unique_ptr<midi::MidiLayer>(int)> open_card_layer_;
  std::function<std::optional<CardIdentity>(int)> card_identity_;
  std::function<std::string()> no_sound_card_;
  std::unique_ptr<Cli> cli_;
};

// Each line as a JSON object: it parses (strict UTF-8) and has its type and time.
std::vector<Json> Objects(const std::vector<std::string>& lines) {
  std::vector<Json> objects;
  for (const std::string& line : lines) {
    Json object;
    EXPECT_NO_THROW(object = Json::parse(line)) << line;
    EXPECT_TRUE(object.contains("type") && object.value("t", -1.0) == Rig::kNow) << line;
    objects.push_back(object);
  }
  return objects;
}

TEST(CliUpdate, ExitStatusFollowsTheLastTextAndOnlyTheChosenDeviceIsAsked) {
  const std::string good = GoodFile(), unreadable = test::TempPath();
  std::filesystem::create_directory(unreadable);
  // Outputs: 0 foreign, then SIM1, SIM2; inputs: SIM1, SIM2.
  const struct {
    const char* name;
    int instruments;
    std::vector<std::string> args;  // "GOOD" stands for a good file
    int exit;
    const char* last_line;  // "" when nothing runs
    int updated = -1;       // the device asked; the others get no request
    std::string err = "";   // the whole error stream
  } cases[] = {
      // clang-format off
      {"complete", 1, {"update", "GOOD"}, 0, "Complete!", 0},
      {"several, none chosen", 2, {"update", "GOOD"}, 2, "", -1,
       "tamblet-cli: 2 instruments found and none chosen; choose one with --serial S, --usb-path "
       "P, --instrument N or --output/--input PORT, or every one with --all:\n"
       "   1  output 1 + input 0  QELMAR SIM1  serial SER1  usb 1-1  * window's pair\n"
       "   2  output 2 + input 1  QELMAR SIM2  usb 1-2\n"},
      {"by serial", 2, {"update", "GOOD", "--serial", "SER1"}, 0, "Complete!", 0},
      {"by USB path", 2, {"update", "GOOD", "--usb-path=1-2"}, 0, "Complete!", 1},
      {"by both", 2, {"update", "GOOD", "--usb-path", "usb 1-1", "--serial", "SER1"}, 0, "Complete!", 0},
      {"no such serial", 2, {"update", "GOOD", "--serial", "SER2"}, 4, "", -1,
       "tamblet-cli: no instrument with serial SER2\n"},
      {"serial and number", 2, {"update", "GOOD", "--serial", "SER1", "--instrument", "1"}, 2, ""},
      {"no file", 1, {"update", "/nonexistent.pgm"}, 3, "File not found!!", -1,
       "tamblet-cli: /nonexistent.pgm: No such file or directory\n"},
      {"a folder", 1, {"update", unreadable}, 3, "File not found!!", -1,
       "tamblet-cli: " + unreadable + ": Is a directory\n"},
      {"no device", 0, {"update", "GOOD"}, 4, "Device open failed!!", -1,
       "tamblet-cli: QELMAR USB Driver not found!!\n"},
      {"by index", 2, {"update", "GOOD", "--input", "1"}, 0, "Complete!", 1},
      {"by name", 2, {"update", "GOOD", "--output=QELMAR SIM2 OUT 1"}, 0, "Complete!", 1},
      {"one instrument", 2, {"update", "--output", "2", "--input", "1", "--", "GOOD"}, 0, "Complete!", 1},
      {"by number", 2, {"update", "GOOD", "--instrument=2"}, 0, "Complete!", 1},
      {"two instruments", 2, {"update", "GOOD", "--output", "1", "--input", "1"}, 2, "", -1,
       "tamblet-cli: --output QELMAR SIM1 OUT 1 and --input QELMAR SIM2 IN 1 are not the two "
       "ports of one instrument\n"},
      {"no such number", 2, {"update", "GOOD", "--instrument", "3"}, 4, "", -1,
       "tamblet-cli: no instrument 3 (2 found)\n"},
      {"unknown port", 1, {"update", "GOOD", "--output", "9"}, 4, "", -1, "tamblet-cli: no such port: output 9\n"},
      {"foreign port", 1, {"update", "GOOD", "--output", "0"}, 4, "", -1,
       "tamblet-cli: not an instrument's port: Other synth\n"},
      {"all, none", 0, {"update", "GOOD", "--all"}, 4, "", -1, "tamblet-cli: no instrument found\n"},
      {"help after the command", 1, {"update", "--help"}, 0,
       "SIGTERM stops every update before its next request; SIGHUP is ignored."},
      {"no file given", 1, {"update"}, 2, ""},
      {"repeated", 1, {"update", "GOOD", "--output", "1", "--output", "1"}, 2, ""},
      {"unknown option", 1, {"update", "GOOD", "--fast"}, 2, ""},
      {"all and output", 1, {"update", "GOOD", "--all", "--output", "1"}, 2, ""},
      {"report nowhere", 1, {"update", "GOOD", "--report", "/nonexistent/r"}, 2, "", -1,
       "tamblet-cli: /nonexistent/r: No such file or directory\n"},
      {"watch, no file", 1, {"watch", "/nonexistent.pgm"}, 3, "File not found!!", -1,
       "tamblet-cli: /nonexistent.pgm: No such file or directory\n"},
      {"no command", 1, {}, 2, "", -1, "tamblet-cli: a command is needed: ports, update or watch\n"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.instruments);
    rig.alsa_cards_ = [] {
      return std::vector<CardPorts>{
          {0, {"", "devices/pci0000:00/0000:00:1f.3"}, {"Other synth"}, {}},
          {1, {"SER1", "usb 1-1"}, {"QELMAR SIM1 OUT 1"}, {}},
          {2, {"", "usb 1-2"}, {"QELMAR SIM2 OUT 1"}, {}}};
    };
    std::vector<std::string> args = c.args;
    for (auto& arg : args)
      if (arg == "GOOD") arg = good;
    EXPECT_EQ(rig.Run(args), c.exit);
    const auto lines = rig.Lines();
    EXPECT_EQ(lines.empty() ? "" : lines.back(), c.last_line);
    for (int k = 0; k < c.instruments; ++k)
      EXPECT_EQ(rig[k].device.stats().requests > 0, k == c.updated) << k;
    const std::string err = Rig::Read(rig.err_);
    // Usage errors say what is wrong and where help is; the others exactly what they say.
    if (c.exit == kExitUsage && c.err.empty()) {
      EXPECT_TRUE(err.starts_with("tamblet-cli: ") && err.ends_with("--help'.\n")) << err;
    } else {
      EXPECT_EQ(err, c.err);
    }
    // Sleep is held off while an update runs (a watch's file check is none).
    const bool ran = std::string(c.last_line).ends_with("!") && c.args[0] == "update";
    EXPECT_EQ(rig.inhibits_, (ran ? std::vector<bool>{true, false} : std::vector<bool>{}));
  }
}

// Each object without its time, for comparing.
Json Untimed(Json object) {
  object.erase("t");
  return object;
}

TEST(CliUpdate, JsonLinesCarryTextsProgressAndTheFinalStatus) {
  Rig rig(1);
  rig[0].device.InjectFault(*sim::ParseFaultRule("VerifySum:2:fail-status"));
  EXPECT_EQ(rig.Run({"--json", "update", GoodFile()}), 1);
  const auto objects = Objects(rig.Lines());
  ASSERT_GE(objects.size(), 3u);
  std::vector<std::string> texts;
  Json last_progress;
  int step = 0, percent = 0;
  for (size_t k = 0; k + 1 < objects.size(); ++k) {
    const Json& object = objects[k];
    EXPECT_EQ(object["port"], "QELMAR SIM1 OUT 1") << object;
    if (object["type"] == "status") texts.push_back(object["status"]);
    if (object["type"] != "progress") continue;
    // The whole update's step and share only go forward.
    EXPECT_GE(object["step"].get<int>(), step) << object;
    EXPECT_GE(object["percent"].get<int>(), percent) << object;
    step = object["step"], percent = object["percent"];
    last_progress = object;
  }
  // The texts' order is the dialog's own (held by the load test): here each reaches a line.
  ASSERT_EQ(texts.size(), 10u);
  EXPECT_EQ(texts.front(), "Load Version 1.02");
  EXPECT_EQ(texts.back(), "Verify error!!");
  // Loaded whole, then the first of two chunks verified: (2 + 1) of 4 halves.
  EXPECT_EQ(Untimed(last_progress), Json::parse(R"({"type":"progress","port":"QELMAR SIM1 OUT 1",
      "min":0,"max":2,"position":1,"step":7,"steps":7,"percent":75})"));
  const Json& final_object = objects[objects.size() - 2];
  EXPECT_EQ(final_object["type"], "final");
  EXPECT_EQ(final_object["final"], "Verify error!!");
  EXPECT_EQ(final_object["exit"], 1);
  EXPECT_EQ(Untimed(objects.back()), (Json{{"type", "exit"}, {"exit", 1}}));
}

// Names a JACK client may have: bytes that are not UTF-8, control characters,
// many-byte characters, one cut by the 32-byte name field; and an output
// without its input. All at once, one failing: the exit status is that of the
// first that did not complete, in `ports` order, the lone output's last.
TEST(CliUpdate, AllAtOnceOneFailingEveryLineValidWhateverBytesANameHolds) {
  const std::vector<std::string> cards = {"QELMAR \xff\xfeZ", "QELMAR \x01\x1b[31mX",
                                          "QELMAR \xc3\x84\xc3\x96\xc3\x9c\xc3\x84\xc3\x96\xc3"
                                          "\x9c\xc3\x84\xc3\x96"};
  const std::string fixed = "QELMAR \xef\xbf\xbd\xef\xbf\xbd", lone = "QELMAR LONE OUT 1";
  const std::string finals[] = {"Complete!", "Load failed!!", "Complete!", "Device open failed!!"};
  for (const bool json : {true, false}) {
    SCOPED_TRACE(json);
    Rig rig(cards, true);
    rig[1].device.InjectFault(*sim::ParseFaultRule("WriteData:3:no-reply"));
    std::vector<std::string> args = {"update", GoodFile(), "--all"};
    if (json) args.push_back("--json");
    EXPECT_EQ(rig.Run(args), kExitStepFailed);
    const std::string out = Rig::Read(rig.out_);
    EXPECT_EQ(ValidUtf8(out), out);
    EXPECT_EQ(Rig::Read(rig.err_),
              "tamblet-cli: " + lone + ": no partner port, so no instrument to update\n");
    const auto lines = rig.Lines();
    if (!json) {
      EXPECT_EQ(out.find_first_of("\x01\x1b\x7f"), std::string::npos);
      const std::string shown[] = {fixed + "Z OUT 1", fixed + "\\[31mX OUT 1", cards[2] + " OUT 1",
                                   lone};
      for (int k = 0; k < 4; ++k) {
        // Its last text, then one row of the summary, with its time if it ran.
        const std::regex text(shown[k] + ": " + finals[k]),
            row(shown[k] + " +" + finals[k] + (k < 3 ? R"( +[0-9]+\.[0-9] s)" : ""));
        for (const std::regex& line : {text, row})
          EXPECT_EQ(
              std::ranges::count_if(lines, [&](auto& l) { return std::regex_match(l, line); }), 1)
              << k;
      }
      continue;
    }
    std::map<std::string, std::string> final_of;
    for (const Json& object : Objects(lines)) {
      const std::string type = object["type"];
      EXPECT_TRUE(type == "field" || type == "status" || type == "progress" || type == "final" ||
                  type == "exit")
          << object;
      if (type == "final") final_of[object["port"]] = object["final"];
      // One that never ran took no time at all: 0, not 0.0.
      EXPECT_TRUE(type != "final" || object["port"] != lone || object["seconds"].dump() == "0");
    }
    EXPECT_EQ(final_of, (std::map<std::string, std::string>{{fixed + "Z OUT 1", finals[0]},
                                                            {cards[1] + " OUT 1", finals[1]},
                                                            {cards[2] + " OUT 1", finals[2]},
                                                            {lone, finals[3]}}));
  }
  // `ports` too, with the name cut inside a character.
  Rig rig(cards, true);
  EXPECT_EQ(rig.Run({"ports", "--json"}), 0);
  EXPECT_EQ(Objects(rig.Lines()).size(), 6u + 3u + 3u + 1u);  // outputs, inputs, instruments, exit
}

TEST(CliUpdate, SecondCtrlCOrSigtermStopsAfterClosingThePorts) {
  // Inside the data load: Ctrl-C once (a warning only), twice, or SIGTERM (0), after which
  // the request under way is answered, no other leaves, and the ports close.
  for (int presses : {1, 2, 0}) {
    SCOPED_TRACE(presses);
    Rig rig(1);
    int requests = 0;
    rig[0].peer.on_request = [&](sim::Command) {
      if (++requests != 6) return;
      if (presses == 0) {
        EXPECT_FALSE(rig.cli_->Terminate());
      }
      for (int i = 0; i < presses; ++i) EXPECT_FALSE(rig.cli_->Interrupt());
    };
    EXPECT_EQ(rig.Run({"update", GoodFile()}), presses == 1   ? 0
                                               : presses == 2 ? kExitStopped
                                                              : kExitTerminated);
    EXPECT_TRUE(presses == 1 || requests == 6) << "a request after the stop";
    EXPECT_TRUE(rig[0].Closed()) << "left open";
    const std::string notes = Rig::Read(rig.err_);
    EXPECT_EQ(notes.find("Press Ctrl-C again within 3 s") != std::string::npos, presses > 0);
    EXPECT_EQ(notes.find("stopped;") != std::string::npos, presses == 2);
    EXPECT_EQ(notes.find("terminated; the ports are closed") != std::string::npos, presses == 0);
    if (presses == 0) {
      EXPECT_EQ(rig.Lines().back(), "Copy failed!!");  // the step under way
      EXPECT_TRUE(rig.cli_->Terminate()) << "with no update running, the program just ends";
    }
  }

  // Presses further apart than 3 s each only warn.
  StopToken token;
  StopSwitch stop(token);
  const auto t0 = std::chrono::steady_clock::time_point{};
  EXPECT_EQ(stop.Interrupt(t0), StopSwitch::Press::kWarned);
  EXPECT_EQ(stop.Interrupt(t0 + std::chrono::milliseconds(3001)), StopSwitch::Press::kWarned);
  EXPECT_FALSE(token.requested());
  EXPECT_EQ(stop.Interrupt(t0 + std::chrono::milliseconds(6000)), StopSwitch::Press::kForced);
  EXPECT_TRUE(token.forced());
}

// Standard output or error so far, read without moving the writer's offset.
std::string Peek(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, off_t(text.size()))) > 0;)
    text.append(buffer, size_t(n));
  return text;
}

// Cards as the test announces them, from inside the watch's own loop.
class ScriptedCards final : public CardSource {
 public:
  explicit ScriptedCards(std::function<std::vector<CardEvent>()> next) : next_(std::move(next)) {}
  std::vector<CardEvent> Next(int timeout_ms) override {
    std::vector<CardEvent> events = next_();
    if (events.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms / 10));
    return events;
  }

 private:
  std::function<std::vector<CardEvent>()> next_;
};

std::vector<Json> ReportLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<Json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

// Cards 10 and 11 at the start, 12 with no instrument's port; 11 fails Verify.
// Card 10, seen again, is left alone; unplugged and back as card 13 on
// another port it is a new plug-in. One Ctrl-C with nothing running stops.
TEST(CliWatch, EachPlugInUpdatedOnceAndRecorded) {
  Rig rig(2);
  rig[1].device.InjectFault(*sim::ParseFaultRule("VerifySum:1:fail-status"));
  const std::string good = GoodFile();
  const std::string report = test::TempPath(".report");
  midi::SimulatedMidi empty;
  rig.open_card_layer_ = [&](int card) -> std::unique_ptr<midi::MidiLayer> {
    midi::MidiLayer& inner =
        card == 12 ? static_cast<midi::MidiLayer&>(empty) : rig[card == 11 ? 1 : 0].midi;
    return std::make_unique<InstrumentLayer>(inner, std::nullopt);
  };
  rig.card_identity_ = [](int card) -> std::optional<CardIdentity> {
    if (card == 11) return CardIdentity{"", "usb 1-2"};
    return CardIdentity{"SER-10", card == 13 ? "usb 1-3" : "usb 1-1"};
  };
  // What the cards do next, once the report holds so many records; then one Ctrl-C.
  const std::pair<size_t, std::vector<CardEvent>> script[] = {
      {0, {{true, 10}, {true, 11}, {true, 12}}},
      {2, {{true, 10}, {true, 12}}},
      {2, {{false, 10}, {false, 12}, {true, 13}}},
      {3, {}}};
  size_t stage = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  rig.watch_cards_ = [&] {
    return std::make_unique<ScriptedCards>([&]() -> std::vector<CardEvent> {
      if (std::chrono::steady_clock::now() > deadline) rig.cli_->Terminate();
      if (stage == std::size(script) || ReportLines(report).size() < script[stage].first) return {};
      if (stage == 3) {
        if (Peek(rig.err_).find("unplug it") == std::string::npos) return {};  // not yet due
        EXPECT_FALSE(rig.cli_->Interrupt());
      }
      return script[stage++].second;
    });
  };
  EXPECT_EQ(rig.Run({"watch", good, "--report", report}), kExitStopped);
  EXPECT_EQ(stage, 4u);

  std::map<std::string, Json> by_path;
  for (const Json& line : ReportLines(report)) by_path[line["usb_path"]] = line;
  ASSERT_EQ(by_path.size(), 3u);
  FileBytes bytes;
  uint64_t length = 0;
  ASSERT_EQ(ReadWholeFile(good, bytes, length), ReadStatus::kOk);
  const std::string sha = Sha256Hex({bytes.data.get(), size_t(length)});
  for (const auto& [path, line] : by_path) {
    const bool failed = path == "usb 1-2";  // no serial: known by its path
    Json facts;
    for (const char* key : {"final", "exit", "instrument", "card", "sha256", "size", "version"})
      facts[key] = line[key];
    EXPECT_EQ(facts, (Json{{"final", failed ? "Verify error!!" : "Complete!"},
                           {"exit", failed ? 1 : 0},
                           {"instrument", failed ? "usb 1-2" : "SER-10"},
                           {"card", failed ? "QELMAR SIM2" : "QELMAR SIM1"},
                           {"sha256", sha},
                           {"size", length},
                           {"version", "1.02"}}));
    EXPECT_LE(line["start"].get<std::string>(), line["end"].get<std::string>()) << path;
  }

  const auto lines = rig.Lines();
  // One line as each update starts and one as it ends.
  for (const auto& [expected, count] : std::vector<std::pair<std::string, long>>{
           {"QELMAR SIM1 (SER-10): plugged in; its update starts", 2},
           {"QELMAR SIM1 (SER-10): update ended: Complete! (", 2},
           {"QELMAR SIM2 (usb 1-2): plugged in; its update starts", 1},
           {"QELMAR SIM2 (usb 1-2): update ended: Verify error!! (", 1}}) {
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.starts_with(expected); }),
              count)
        << expected;
  }
  const std::string err = Rig::Read(rig.err_);
  EXPECT_NE(err.find("QELMAR SIM2 (usb 1-2): unplug it and plug it in to try again"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("QELMAR SIM1 (SER-10): unplug"), std::string::npos) << err;
  EXPECT_TRUE(rig[0].Closed() && rig[1].Closed()) << "left open";
  ASSERT_FALSE(rig.inhibits_.empty());
  EXPECT_TRUE(rig.inhibits_.front());
  EXPECT_FALSE(rig.inhibits_.back());
}

// Which plug-ins a watch takes (--serial, --usb-path); the unplug hint once for
// a failed update whose instrument stays, never for one pulled out after its
// update ended; and what it says when it sees no sound card. Card 10 is SIM1
// (SER-A, usb 1-1), card 11 SIM2 (SER-B, usb 1-2).
TEST(CliWatch, ChosenPlugInsHintsAndNoSoundCard) {
  struct Stage {
    std::string after;  // on standard output first
    std::vector<CardEvent> events;
  };
  const std::string a_hint = "tamblet-cli: QELMAR SIM1 (SER-A): unplug it and plug it in";
  const std::string b_hint = "tamblet-cli: QELMAR SIM2 (SER-B): unplug it and plug it in";
  const std::string no_card =
      "tamblet-cli: no ALSA sound card (/x/cards lists none): an "
      "instrument is seen once it is plugged in as an ALSA card; "
      "instruments on JACK are not watched\n";
  const std::string both_ended = "QELMAR SIM2 (SER-B): update ended";
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool fail;                  // both fail Verify
    std::string sound_card;     // why no sound card is seen
    std::vector<Stage> stages;  // then Ctrl-C once `done` is told
    std::string done;
    std::vector<bool> updated;
    std::vector<std::string> said, unsaid;  // on standard error
  } cases[] = {
      {"by serial",
       {"--serial", "SER-B"},
       false,
       "",
       {{"", {{true, 10}, {true, 11}}}},
       both_ended,
       {false, true},
       {"tamblet-cli: QELMAR SIM1 (SER-A): not the serial SER-B asked for; left alone\n"},
       {"JACK"}},
      {"by USB path",
       {"--usb-path", "1-1"},
       false,
       "",
       {{"", {{true, 10}, {true, 11}}}},
       "QELMAR SIM1 (SER-A): update ended",
       {true, false},
       {"tamblet-cli: QELMAR SIM2 (SER-B): not the USB path 1-1 asked for; left alone\n"},
       {}},
      {"failed; SIM2 then pulled",
       {},
       true,
       "",
       {{"", {{true, 10}, {true, 11}}}, {both_ended, {{false, 11}}}},
       a_hint,
       {true, true},
       {a_hint},
       {b_hint}},
      {"no sound card",
       {},
       false,
       "no ALSA sound card (/x/cards lists none)",
       {{"", {}}},
       no_card,
       {false, false},
       {no_card},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(2);
    if (c.fail)
      for (int k : {0, 1})
        rig[k].device.InjectFault(*sim::ParseFaultRule("VerifySum:1:fail-status"));
    rig.open_card_layer_ = [&](int card) -> std::unique_ptr<midi::MidiLayer> {
      return std::make_unique<InstrumentLayer>(rig[card - 10].midi, std::nullopt);
    };
    rig.card_identity_ = [](int card) -> std::optional<CardIdentity> {
      return card == 10 ? CardIdentity{"SER-A", "usb 1-1"} : CardIdentity{"SER-B", "usb 1-2"};
    };
    rig.no_sound_card_ = [&c] { return c.sound_card; };
    size_t stage = 0;
    auto last = std::chrono::steady_clock::now();
    const auto deadline = last + std::chrono::seconds(30);
    rig.watch_cards_ = [&] {
      return std::make_unique<ScriptedCards>([&]() -> std::vector<CardEvent> {
        const auto now = std::chrono::steady_clock::now();
        if (now > deadline) rig.cli_->Terminate();
        if (stage < c.stages.size()) {
          if (Peek(rig.out_).find(c.stages[stage].after) == std::string::npos) return {};
          last = now;
          return c.stages[stage++].events;
        }
        // Long enough for any hint still due to be given.
        if (now - last < std::chrono::milliseconds(700) ||
            (Peek(rig.out_) + Peek(rig.err_)).find(c.done) == std::string::npos)
          return {};
        EXPECT_FALSE(rig.cli_->Interrupt());
        return {};
      });
    };
    std::vector<std::string> args = {"watch", GoodFile()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(rig.Run(args), kExitStopped);
    const std::string err = Rig::Read(rig.err_);
    for (int k : {0, 1}) EXPECT_EQ(rig[k].device.stats().requests > 0, c.updated[k]) << k;
    for (const std::string& text : c.said) {
      const size_t at = err.find(text);
      EXPECT_TRUE(at != std::string::npos && err.find(text, at + 1) == std::string::npos)
          << "not once: " << text << "\n"
          << err;
    }
    for (const std::string& text : c.unsaid) EXPECT_EQ(err.find(text), std::string::npos) << err;
  }
}

TEST(UpdateReport, OneWholeLinePerUpdateAppended) {
  // The hash and the times are checked in the line below.
  const std::string abc = "abc";
  const std::vector<uint8_t> bytes(abc.begin(), abc.end());
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  const std::string file = test::TempPath(".report");
  std::ofstream(file) << "{\"earlier\":1}\n";  // a report kept from another day
  const FileFacts facts{"fw.pgm", 3, Sha256Hex(bytes), "1.02"};
  {
    UpdateReport report;
    ASSERT_EQ(report.Open(file), "");
    EXPECT_EQ(report.Append(facts, {{"SER-A", "usb 1-1"},
                                    "QELMAR SIM",
                                    "QELMAR SIM OUT 1",
                                    "QELMAR SIM IN 1",
                                    1796642403250,
                                    1796642413000,
                                    "Complete!",
                                    0}),
              "");
    EXPECT_EQ(
        report.Append(facts, {{"", "usb 1-2"}, "QELMAR \xff", "", "", 0, 0, "Verify error!!", 1}),
        "");
  }
  const std::vector<Json> lines = ReportLines(file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], Json::parse(R"({"instrument":"SER-A","serial":"SER-A",
    "usb_path":"usb 1-1","card":"QELMAR SIM","output_port":"QELMAR SIM OUT 1",
    "input_port":"QELMAR SIM IN 1","file":"fw.pgm","size":3,
    "sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
    "version":"1.02","start":"2026-12-07T11:20:03.250Z","end":"2026-12-07T11:20:13.000Z",
    "final":"Complete!","exit":0})"));
  // A card without a serial, and a report that cannot be opened: the cases above.
  EXPECT_EQ(lines[2]["card"], "QELMAR \xef\xbf\xbd");
}

// --report with update --all: one record per instrument, its card found by its ports.
TEST(CliUpdate, ReportRecordsEachInstrumentWithItsCard) {
  Rig rig(2);
  const std::string report = test::TempPath(".report");
  rig.alsa_cards_ = [] {
    return std::vector<CardPorts>{{0, {"", "devices/pci0000:00/0000:00:1f.3"}, {"Other synth"}, {}},
                                  {1, {"SER1", "usb 1-1"}, {"QELMAR SIM1 OUT 1"}, {}},
                                  {2, {"", "usb 1-2"}, {"QELMAR SIM2 OUT 1"}, {}}};
  };
  EXPECT_EQ(rig.Run({"update", GoodFile(), "--all", "--report", report}), 0);
  std::map<std::string, std::string> finals;
  for (const Json& line : ReportLines(report))
    finals[line["instrument"].get<std::string>() + " " + line["output_port"].get<std::string>()] =
        line["final"];
  EXPECT_EQ(finals,
            (std::map<std::string, std::string>{{"SER1 QELMAR SIM1 OUT 1", "Complete!"},
                                                {"usb 1-2 QELMAR SIM2 OUT 1", "Complete!"}}));
}

// The file is replaced by another version as the updates start, after its
// check: each instrument is still sent the bytes that were checked, and
// the report and the screen describe those.
TEST(CliUpdate, AFileReplacedDuringTheUpdateIsNotWhatIsSent) {
  const std::vector<uint8_t> first(kImageSize, 0x5A), second(kImageSize, 0xA5);
  auto version = [](char minor, const std::vector<uint8_t>& image) {
    return WriteUpdateFile(
        {"MODEL-X", {'1', '.', '0', minor}, 1, 0x4000, kImageSize, {{0, 0x8000}}}, image,
        BlockChoice::kAll);
  };
  const auto sent = version('2', first), other = version('1', second);
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all);
    const std::string path = test::WriteTempFile(sent), report = test::TempPath(".report");
    Rig rig(all ? 2 : 1);
    rig.on_inhibit_ = [&](bool on) {
      if (on)
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(other.data()), std::streamsize(other.size()));
    };
    std::vector<std::string> args = {"update", path, "--report", report};
    if (all) args.push_back("--all");
    EXPECT_EQ(rig.Run(args), 0);
    const auto records = ReportLines(report);
    ASSERT_EQ(records.size(), all ? 2u : 1u);
    for (const Json& record : records) {
      EXPECT_EQ(record["version"], "1.02");
      EXPECT_EQ(record["sha256"], Sha256Hex(sent));
      EXPECT_EQ(record["size"], sent.size());
    }
    for (int k = 0; k < (all ? 2 : 1); ++k)
      EXPECT_TRUE(std::equal(first.begin(), first.begin() + 0x8000, rig[k].device.flash().begin()));
    for (const char* shown : {"Load Version 1.02", "Load Version 1.01"})
      EXPECT_EQ(std::ranges::count_if(rig.Lines(), [&](auto& l) { return l.ends_with(shown); }),
                shown[16] == '2' ? (all ? 2 : 1) : 0);
  }
}

TEST(CliPorts, PairsOnePerInstrumentAndMarksTheWindowsPair) {
  // Outputs: A, B, B, C(no input); inputs: B, A, B. Pairs: A-A, B-B(first), B-B(second).
  midi::SimulatedMidi midi;
  for (const char* name : {"QELMAR A OUT 1", "QELMAR B OUT 1", "QELMAR B OUT 2", "QELMAR C OUT 1"})
    midi.AddOutPort(midi::MakeCaps(kMakerMid, kDeviceOutputPid, name));
  midi.AddOutPort(
      midi::MakeCaps(kMakerMid, kDeviceInputPid, "QELMAR D OUT 1"));  // wrong product id
  for (const char* name : {"QELMAR B IN 1", "QELMAR A IN 1", "QELMAR B IN 2"})
    midi.AddInPort(midi::MakeCaps(kMakerMid, kDeviceInputPid, name));
  Rig rig(0);
  EXPECT_EQ(rig.Run({"ports", "--json"}, &midi), 0);
  std::vector<Json> objects;
  for (const Json& object : Objects(rig.Lines())) objects.push_back(Untimed(object));
  // The window takes the first accepted output and the first accepted input.
  for (const Json& expected : Json::parse(R"([
      {"type":"port","direction":"output","index":0,"name":"QELMAR A OUT 1","accepted":true,"window":true},
      {"type":"port","direction":"output","index":4,"name":"QELMAR D OUT 1","accepted":false,"window":false},
      {"type":"port","direction":"input","index":0,"name":"QELMAR B IN 1","accepted":true,"window":true},
      {"type":"instrument","instrument":3,"output":2,"input":2,"output_name":"QELMAR B OUT 2",
       "input_name":"QELMAR B IN 2","window":false}])"))
    EXPECT_NE(std::find(objects.begin(), objects.end(), expected), objects.end()) << expected;
  EXPECT_EQ(objects.back(), (Json{{"type", "exit"}, {"exit", 0}}));
}

TEST(CliPorts, NothingFoundSaysWhatCouldNotBeSeen) {
  midi::SimulatedMidi none;
  Rig rig(0);
  EXPECT_EQ(
      rig.Run({"ports"}, &none, [] { return std::vector<std::string>{"no JACK server runs"}; }),
      kExitOpenFailed);
  EXPECT_EQ(Rig::Read(rig.out_), "output ports\ninput ports\ninstruments\n   none\n");
  EXPECT_EQ(Rig::Read(rig.err_),
            "tamblet-cli: no instrument found\ntamblet-cli: no JACK server runs\n");

  // What the system tells, from its files.
  const std::filesystem::path root = test::TempPath();
  std::filesystem::create_directories(root / "snd");
  std::ofstream(root / "snd" / "midiC1D0");
  std::filesystem::permissions(root / "snd" / "midiC1D0", std::filesystem::perms::none);
  EXPECT_EQ(WhyNoPorts(root.string(), (root / "snd").string(), true),
            std::vector<std::string>{"no ALSA sound card (" + root.string() +
                                     "/cards: No such file or directory)"});
  std::ofstream(root / "cards") << " 0 [Dummy          ]: Dummy - Dummy\n";
  const auto why = WhyNoPorts(root.string(), (root / "snd").string(), false);
  // Root may open any file.
  const size_t unreadable = geteuid() == 0 ? 0 : 1;
  ASSERT_EQ(why.size(), unreadable + 1);
  if (unreadable) {
    EXPECT_NE(why[0].find("midiC1D0 is not readable by this user"), std::string::npos);
  }
  EXPECT_EQ(why.back(), "no JACK server runs");
}

// --skip-done leaves alone each instrument whose last record for this very file
// completed; --dry-run opens no port and writes no report. SIM1 has a serial
// (its card), SIM2 is known by its output port, as a JACK instrument is.
TEST(CliUpdate, SkipDoneAndDryRunFollowTheLastRecordOfThisFile) {
  std::ifstream in(GoodFile(), std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  const std::string sha = Sha256Hex(bytes);
  auto record = [&](const std::string& serial, const std::string& out, const std::string& hash,
                    const std::string& final_text) {
    return Json{{"serial", serial},
                {"usb_path", serial.empty() ? "" : "usb 1-1"},
                {"output_port", out},
                {"sha256", hash},
                {"final", final_text}}
        .dump();
  };
  const std::string done1 = record("SER1", "QELMAR SIM1 OUT 1", sha, "Complete!");
  const std::string done2 = record("", "QELMAR SIM2 OUT 1", sha, "Complete!");
  struct Case {
    const char* name;
    std::vector<std::string> report;  // lines before the run
    std::vector<std::string> flags;
    int status;
    std::vector<std::string> actions;  // each instrument's plan, in order
    std::vector<bool> asked;           // whether its device saw a request
    size_t records_after;
  };
  const std::vector<Case> cases = {
      {"nothing recorded", {}, {"--skip-done"}, 0, {"update", "update"}, {true, true}, 2},
      {"both done", {done1, done2}, {"--skip-done"}, 0, {"skip", "skip"}, {false, false}, 2},
      {"done, then failed",
       {done1, record("SER1", "QELMAR SIM1 OUT 1", sha, "Verify error!!"), done2},
       {"--skip-done"},
       0,
       {"update", "skip"},
       {true, false},
       4},
      {"done with another file",
       {record("SER1", "x", std::string(64, '0'), "Complete!"), "not json", "{\"sha256\":5}",
        done2},
       {"--skip-done"},
       0,
       {"update", "skip"},
       {true, false},
       5},
      {"dry run", {done1}, {"--skip-done", "--dry-run"}, 0, {"skip", "update"}, {false, false}, 1},
      {"dry run, no report", {}, {"--dry-run"}, 0, {"update", "update"}, {false, false}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(2);
    rig.alsa_cards_ = [] {
      return std::vector<CardPorts>{
          {0, {"", "devices/pci0000:00/0000:00:1f.3"}, {"Other synth"}, {}},
          {1, {"SER1", "usb 1-1"}, {"QELMAR SIM1 OUT 1"}, {}}};
    };
    const std::string report = test::TempPath(".report");
    if (!c.report.empty()) {
      std::ofstream out(report);
      for (const std::string& line : c.report) out << line << "\n";
    }
    std::vector<std::string> args = {"--json", "update", GoodFile(), "--all"};
    if (!c.report.empty() || c.flags[0] == "--skip-done")
      args.insert(args.end(), {"--report", report});
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    EXPECT_EQ(rig.Run(args), c.status);
    std::vector<std::string> actions;
    for (const Json& line : Objects(rig.Lines()))
      if (line["type"] == "plan") actions.push_back(line["action"]);
    EXPECT_EQ(actions, c.actions);
    for (int k = 0; k < 2; ++k) EXPECT_EQ(!rig[k].device.log().empty(), c.asked[k]) << k;
    std::ifstream lines(report);
    EXPECT_EQ(size_t(std::count(std::istreambuf_iterator<char>(lines), {}, '\n')), c.records_after);
  }
}

TEST(CliUpdate, SkipDoneWithoutAReportIsAUsageError) {
  Rig rig(1);
  EXPECT_EQ(rig.Run({"update", GoodFile(), "--skip-done"}), kExitUsage);
  EXPECT_EQ(rig.Run({"update", "/nonexistent.pgm", "--dry-run"}), kExitFileFailed);
  EXPECT_TRUE(rig[0].device.log().empty());
}

}  // namespace
}  // namespace tamblet::cli
