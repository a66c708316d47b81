// What the console prints for a bar and for a message box.

#include "cli/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "app/update_dlg.h"
#include "base/status_texts.h"

namespace tamblet::cli {
namespace {

TEST(ConsoleBar, FitsTheTerminalWidth) {
  const std::string label = "QELMAR SIM2 OUT 1: ";
  // Columns, and the bar's marks left (-1: the line is cut): no terminal, room
  // enough, narrowed by the overflow, one column short, the label alone too long.
  const std::pair<int, int> cases[] = {{0, 30}, {80, 30}, {40, 12}, {52, 24}, {20, -1}};
  for (const auto& [columns, marks] : cases) {
    const std::string line = FitToColumns(label, ProgressState{0, 8, 4}, columns);
    const std::string bar = "[" + std::string(size_t(std::max(marks, 0) / 2), '#') +
                            std::string(size_t(std::max(marks, 0) / 2), '.') + "]   4/8";
    EXPECT_EQ(line, marks < 0 ? label.substr(0, size_t(columns - 1)) : label + bar) << columns;
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
