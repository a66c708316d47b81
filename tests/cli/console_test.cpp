// What the console prints for a bar and for a message box.

#include "cli/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "app/update_dlg.h"
#include "base/status_texts.h"

namespace tamblet::cli {
namespace {

TEST(ConsoleBar, FitsTheTerminalWidth) {
  const std::string label = "QELMAR SIM2 OUT 1: ";
  struct Case {
    int columns;
    std::string prefix;
    int marks;  // bar width left; -1: the line is cut
  } cases[] = {
      {0, label, 30},   // not a terminal: no limit
      {80, label, 30},  // fits as it is
      {40, label, 12},  // narrowed by what overflows
      {52, label, 24},  // one column short of the full line
      {20, label, -1},  // the prefix alone is too long: cut
  };
  const ProgressState progress{0, 8, 4};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.columns);
    const std::string line = FitToColumns(c.prefix, progress, c.columns);
    if (c.columns > 0) {
      EXPECT_LE(line.size(), size_t(c.columns - 1));
    }
    if (c.marks < 0) {
      EXPECT_EQ(line, c.prefix.substr(0, size_t(c.columns - 1)));
      continue;
    }
    EXPECT_EQ(line, c.prefix + "[" + std::string(size_t(c.marks / 2), '#') +
                        std::string(size_t(c.marks - c.marks / 2), '.') + "]   4/8");
  }
}

std::string Drain(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  return text;
}

// A box that only repeats the status line is dropped; the busy port's holder is
// shown on the error stream, or as a JSON object.
TEST(ConsoleWindow, ShowsABoxThatAddsToTheStatusLine) {
  const std::string busy = BusyPortText({4242, "amidi"});
  struct Case {
    Console::Mode mode;
    std::string box;
    std::string out, err;
  } cases[] = {
      {Console::Mode::kPlain, kDeviceOpenFailedText, "", ""},
      {Console::Mode::kPlain, busy, "", "P: " + busy + "\n"},
      {Console::Mode::kJson, busy, "{\"port\":\"P\",\"message\":" + JsonString(busy) + "}\n", ""},
  };
  for (const Case& c : cases) {
    int out[2], err[2];
    ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(err, O_NONBLOCK), 0);
    {
      Console console(out[1], err[1], c.mode);
      ConsoleWindow window(console, console.AddSlot("P"), "");
      window.SetWindowText(IDC_STATUS, kDeviceOpenFailedText);
      Drain(out[0]);
      window.MessageBox(c.box);
    }
    EXPECT_EQ(Drain(out[0]), c.out);
    EXPECT_EQ(Drain(err[0]), c.err);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
  }
}

}  // namespace
}  // namespace tamblet::cli
