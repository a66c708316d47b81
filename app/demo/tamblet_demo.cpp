// Shows Tamblet at work where there is no display: the real window, run
// offscreen, is driven through Browse and Load on a given update file; every
// status text is printed as it appears, and a screenshot is saved at the end.
// The program itself keeps no command line; this is a separate driver.
// With --loads N it presses Load N times in the same window, each time after
// a line arrives on standard input, so a test can change the device between;
// a window that found no instrument then waits for a line before the first.
// Instruments plugged in and out are followed as in the program.

#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/port_follow.h"
#include "app/qt/update_window.h"
#include "app/update_dlg.h"
#include "midi/system/system_midi.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: tamblet-demo [--loads N] UPDATE_FILE SCREENSHOT.png\n");
  return 2;
}

void Click(tamblet::QtUpdateWindow& window, int id) {
  if (auto* button = qobject_cast<QPushButton*>(window.Control(id))) button->click();
}

}  // namespace

int main(int argc, char** argv) {
  int loads = 1;
  if (argc == 5 && std::string(argv[1]) == "--loads") {
    loads = std::atoi(argv[2]);
    argv += 2;
    argc -= 2;
  }
  if (argc != 3 || loads < 1) return Usage();
  const std::string update_file = argv[1];
  const QString screenshot = QString::fromLocal8Bit(argv[2]);

  int qt_argc = 1;
  char* qt_argv[] = {argv[0], nullptr};
  QApplication app(qt_argc, qt_argv);

  const std::unique_ptr<tamblet::midi::MidiLayer> midi = tamblet::midi::CreateSystemMidiLayer();
  tamblet::QtUpdateWindow window;
  tamblet::CUpdateDlg dlg(window, *midi);
  window.SetHandlers(
      {[&dlg] { dlg.OnBrowse(); }, [&dlg] { dlg.OnLoad(); }, [&dlg] { dlg.RequestStop(); }});
  window.SetFileDialogHook([&update_file](QWidget*) { return update_file; });
  window.SetMessageBoxHook([](QWidget*, const QString& text) {
    std::printf("message box: %s\n", text.toLocal8Bit().constData());
  });
  QObject::connect(&window, &tamblet::QtUpdateWindow::TextApplied,
                   [](int control, const QString& text) {
                     const char* what = control == tamblet::IDC_STATUS        ? "status"
                                        : control == tamblet::IDC_OUTPUT_PORT ? "output port"
                                        : control == tamblet::IDC_INPUT_PORT  ? "input port"
                                                                              : nullptr;
                     if (what) std::printf("%s: %s\n", what, text.toLocal8Bit().constData());
                     std::fflush(stdout);
                   });

  int result = 1;
  auto finish = [&] {
    window.grab().save(screenshot);
    result = dlg.last_outcome().complete() ? 0 : 1;
    app.quit();
  };
  // Between runs the next Load waits for a line on standard input.
  QSocketNotifier next_load(STDIN_FILENO, QSocketNotifier::Read);
  next_load.setEnabled(false);
  QObject::connect(&next_load, &QSocketNotifier::activated, [&] {
    char line[64];
    if (read(STDIN_FILENO, line, sizeof line) <= 0) return finish();
    next_load.setEnabled(false);
    std::printf("load again\n");
    std::fflush(stdout);
    Click(window, tamblet::IDC_LOAD);
  });
  QObject::connect(&window, &tamblet::QtUpdateWindow::RunFinished, [&] {
    if (--loads == 0) return finish();
    std::printf("waiting for a line before the next Load\n");
    std::fflush(stdout);
    next_load.setEnabled(true);
  });

  std::vector<std::unique_ptr<tamblet::midi::PortWatch>> watches;
  watches.push_back(tamblet::WatchAlsaCards());
  watches.push_back(tamblet::midi::CreateSystemPortWatch());
  tamblet::PortFollower follower(dlg, std::move(watches), &tamblet::midi::CreateSystemMidiLayer);
  QTimer follow;
  QObject::connect(&follow, &QTimer::timeout, [&] { follower.Tick(window.IsRunning()); });
  follow.start(tamblet::PortFollower::kTickMs);

  window.show();
  if (dlg.OnInitDialog()) {
    window.PlaceInitialFocus(true);
    QTimer::singleShot(0, [&window] {
      Click(window, tamblet::IDC_BROWSE);
      Click(window, tamblet::IDC_LOAD);
    });
  } else if (loads > 1) {
    // Nothing plugged in yet: Browse now, Load once told.
    Click(window, tamblet::IDC_BROWSE);
    std::printf("waiting for a line before the first Load\n");
    std::fflush(stdout);
    next_load.setEnabled(true);
  } else {
    QTimer::singleShot(0, finish);
  }
  app.exec();
  return result;
}
