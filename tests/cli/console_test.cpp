// What the console prints for a bar and for a message box; text made safe for
// a terminal and for JSON; the standard descriptors.

#include "cli/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>

#include "base/standard_descriptors.h"
#include "base/status_texts.h"
#include "cli/instrument_run.h"
#include "cli/instrument_view.h"
#include "cli/safe_text.h"
#include "sim/simulated_midi.h"

namespace tamblet::cli {
namespace {

TEST(ConsoleBar, FitsTheTerminalWidth) {
  const std::string label = "QELMAR SIM2 OUT 1: ";
  // Columns, and the bar's marks left (-1: the line is cut): no terminal, room
  // enough, narrowed by the overflow, one column short, the label alone too long.
  const std::pair<int, int> cases[] = {{0, 30}, {80, 30}, {40, 12}, {52, 24}, {20, -1}};
  for (const auto& [columns, marks] : cases) {
    const std::string line = FitToColumns(label, ProgressState{0, 8, 4}, Overall{}, columns);
    const std::string bar = "[" + std::string(size_t(std::max(marks, 0) / 2), '#') +
                            std::string(size_t(std::max(marks, 0) / 2), '.') + "]   4/8";
    EXPECT_EQ(line, marks < 0 ? label.substr(0, size_t(columns - 1)) : label + bar) << columns;
  }
  // The step and share follow the bar; a line is cut between characters, counted as such.
  const std::string wide = "QELMAR \xc3\x84\xc3\x96 OUT 1: ";  // 18 characters, 20 bytes
  EXPECT_EQ(FitToColumns(wide, ProgressState{0, 8, 4}, Overall{4, 7, 42}, 80),
            wide + "[###############...............]   4/8  step 4 of 7  42%");
  EXPECT_EQ(FitToColumns(wide, ProgressState{0, 8, 4}, Overall{4, 7, 42}, 10),
            "QELMAR \xc3\x84\xc3\x96");
}

TEST(SafeText, InvalidBytesAndControlsBecomeReplacements) {
  const std::string r = kReplacement;
  // Text, as valid UTF-8, as printable text. A name with bytes that are not
  // UTF-8 is cli_test's.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"\x01\x1b[31mX\x7f", "\x01\x1b[31mX\x7f", r + r + "[31mX" + r},
      {"\xc2\x9b"
       "1m",
       "\xc2\x9b"
       "1m",
       r + "1m"},                                                      // C1 control
      {"ab\xc3", "ab" + r, "ab" + r},                                  // cut inside a character
      {"\xc0\xaf\xed\xa0\x80", r + r + r + r + r, r + r + r + r + r},  // overlong, surrogate
      {"\xf4\x90\x80\x80", r + r + r + r, r + r + r + r},              // above U+10FFFF
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb9", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb9",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb9"},
  };
  for (const auto& [text, valid, printable] : cases) {
    EXPECT_EQ(ValidUtf8(text), valid) << text;
    EXPECT_EQ(PrintableText(text), printable) << text;
  }
  EXPECT_EQ(CutToWidth("\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb9", 2), "\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(PadToWidth("\xc3\xa9", 3), "\xc3\xa9  ");
}

// Widths in terminal cells, as the C library's UTF-8 tables give them: a name
// in Japanese takes two cells a character, combining accents none, and a bar
// line keeps below the terminal's width whatever the name.
TEST(DisplayWidth, NamesAreMeasuredInCells) {
  struct Case {
    std::string text;
    size_t cells, cut_to;
    std::string cut;
  } cases[] = {
      {"QELMAR", 6, 4, "QELM"},
      {"\xe9\x8d\xb5\xe7\x9b\xa4", 4, 3,
       "\xe9\x8d\xb5"},                            // two wide characters; half of one is no cell
      {"e\xcc\x81te\xcc\x81", 3, 1, "e\xcc\x81"},  // decomposed accents stay with their letter
      {"\xf0\x9f\x8e\xb9 SIM", 6, 1, ""},          // an emoji is wide
      {"ab\xff", 3, 3, "ab\xff"},                  // a stray byte is shown as one replacement
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TextWidth(c.text), c.cells);
    EXPECT_EQ(CutToWidth(c.text, c.cut_to), c.cut);
    EXPECT_EQ(PadToWidth(c.text, c.cells + 2), c.text + "  ");
  }
  // 25 cells in 20 characters: counted as characters, the bar came out 54 cells wide at 50 columns.
  const std::string japanese =
      "QELMAR \xe9\x9b\xbb\xe5\xad\x90\xe3\x83\x94\xe3\x82\xa2\xe3\x83\x8e OUT 1: ";
  const ProgressState half{0, 8, 4};
  EXPECT_EQ(FitToColumns(japanese, half, Overall{}, 50), japanese + FormatBar(half, 16));
  for (const std::string& label : {japanese, cases[2].text + ": ", cases[3].text + ": "})
    for (int columns = 1; columns <= 90; ++columns)
      EXPECT_LE(TextWidth(FitToColumns(label, half, Overall{4, 7, 42}, columns)),
                size_t(columns - 1))
          << label << " at " << columns;
}

// Started with them closed, the program's own files would take their numbers.
TEST(StandardDescriptors, ClosedOnesOpenOnDevNull) {
  const int saved[] = {::dup(0), ::dup(2)};
  for (int fd : {0, 2}) ::close(fd);
  OpenClosedStandardDescriptors();
  struct stat null_device {
  }, got{};
  bool on_null = ::stat("/dev/null", &null_device) == 0;
  for (int fd : {0, 2})
    on_null = on_null && ::fstat(fd, &got) == 0 && got.st_rdev == null_device.st_rdev;
  for (int k : {0, 1}) ::dup2(saved[k], 2 * k), ::close(saved[k]);
  EXPECT_TRUE(on_null);
}

std::string Drain(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  return text;
}

// A notice (who holds a busy port or runs another update, a server without
// real-time scheduling) is shown on the error stream once, and in JSON also as
// an object; the terminal program has no Load button to speak of. No port
// found: the driver text goes to the error stream once and is not repeated as
// a status line.
TEST(InstrumentView, ShowsANoticeOnceAndNoStatusTwice) {
  // The terminal has no Load button: it says what it has.
  const std::string busy =
      "The device's MIDI port is in use by amidi (process 4242): close that program or "
      "disconnect its MIDI connections, then run the update again.";
  const std::string slow = NotRealTimeText("S");
  const std::string none = "tamblet-cli: P: QELMAR USB Driver not found!!\n";
  const std::string held =
      "The instrument is being updated by tamblet-cli (process 77): wait until that update has "
      "ended, then run the update again.";
  using K = Notice::Kind;
  struct Case {
    Console::Mode mode;
    std::optional<Notice> notice;  // none: no port, discovery's own message
    std::string out, err;
  } cases[] = {
      {Console::Mode::kPlain, Notice{K::kPortBusy, {4242, "amidi"}, {}}, "",
       "tamblet-cli: P: " + busy + "\n"},
      {Console::Mode::kJson, Notice{K::kPortBusy, {4242, "amidi"}, {}},
       Json{{"type", "message"}, {"t", 1.25}, {"port", "P"}, {"message", busy}}.dump() + "\n",
       "tamblet-cli: P: " + busy + "\n"},
      {Console::Mode::kJson, Notice{K::kLockHeld, {77, "tamblet-cli"}, {}},
       Json{{"type", "message"}, {"t", 1.25}, {"port", "P"}, {"message", held}}.dump() + "\n",
       "tamblet-cli: P: " + held + "\n"},
      {Console::Mode::kPlain, Notice{K::kNotRealTime, {}, "S"}, "",
       "tamblet-cli: P: " + slow + "\n"},
      {Console::Mode::kPlain, std::nullopt, "", none},
  };
  for (const Case& c : cases) {
    int out[2], err[2];
    ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(err, O_NONBLOCK), 0);
    {
      const auto console = MakeConsole(c.mode, out[1], err[1], [] { return 1.25; });
      InstrumentView view(*console, console->AddSlot("P"), kRunAgain);
      view.OnStatus(kDeviceOpenFailedText);
      Drain(out[0]);
      if (c.notice) {
        view.OnNotice(*c.notice);
      } else {
        midi::SimulatedMidi no_ports;
        DiscoverPortPair(no_ports, view);
      }
    }
    EXPECT_EQ(Drain(out[0]), c.out);
    EXPECT_EQ(Drain(err[0]), c.err);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
  }
}

// On a terminal each line goes above the bars, which are erased and drawn again
// under it: the cursor goes up one row less than there are bars.
TEST(ConsoleBar, LinesGoAboveTheBarsAndFinishLeavesThem) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
  const auto console = MakeConsole(Console::Mode::kTerminal, out[1], out[1]);
  const size_t a = console->AddSlot("A"), b = console->AddSlot("B");
  console->Progress(a, ProgressState{0, 8, 4}, Overall{});
  console->Progress(b, ProgressState{0, 8, 8}, Overall{});
  console->Status(a, "x", Overall{});
  console->EndSlot(b);
  console->Finish();
  const std::string bar_a = "A: " + FormatBar(ProgressState{0, 8, 4}, kBarWidthMax),
                    bars = bar_a + "\nB: " + FormatBar(ProgressState{0, 8, 8}, kBarWidthMax),
                    up = "\r\033[1A\033[J";
  EXPECT_EQ(Drain(out[0]), bar_a + "\r\033[J" + bars + up + "A: x\n" + bars + up + bar_a + "\n");
  for (int fd : out) ::close(fd);
}

}  // namespace
}  // namespace tamblet::cli
