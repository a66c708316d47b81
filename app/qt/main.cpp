// Tamblet: one modal dialog that installs new firmware into the device.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "app/port_follow.h"
#include "app/qt/no_display.h"
#include "app/qt/termination_signals.h"
#include "app/qt/update_window.h"
#include "app/update_dlg.h"
#include "midi/system/system_midi.h"

namespace tamblet {

// The application: builds the dialog, runs it modally, and ends with it.
class CUpdateApp {
 public:
  int InitInstance(char* program) {
    // The program takes no command line: Qt sees only the program's name.
    int argc = 1;
    char* argv[] = {program, nullptr};
    // Qt's Wayland text input asks the compositor's seat, and a compositor
    // without one (a kiosk, a headless test) crashes it at the first line
    // edit; the plain compose input serves a program that takes only paths.
    // An input method the user chose stays.
    if (OnWayland() && std::getenv("QT_IM_MODULE") == nullptr) setenv("QT_IM_MODULE", "compose", 0);
    auto no_display = std::make_unique<NoDisplayCheck>();
    QApplication app(argc, argv);
    no_display.reset();
    QApplication::setApplicationName(QStringLiteral("Tamblet"));
    QApplication::setDesktopFileName(QStringLiteral("tamblet"));

    const std::unique_ptr<midi::MidiLayer> midi = midi::CreateSystemMidiLayer();
    QtUpdateWindow window;
    CUpdateDlg dlg(window, *midi);
    window.SetHandlers(
        {[&dlg] { dlg.OnBrowse(); }, [&dlg] { dlg.OnLoad(); }, [&dlg] { dlg.RequestStop(); }});
    std::vector<std::unique_ptr<midi::PortWatch>> watches;
    watches.push_back(WatchAlsaCards());
    watches.push_back(midi::CreateSystemPortWatch());
    PortFollower follower(dlg, std::move(watches), &midi::CreateSystemMidiLayer);
    const TerminationSignals ending(window);
    window.PlaceInitialFocus(dlg.OnInitDialog());
    // An instrument plugged in or out while the window is open.
    QTimer follow;
    QObject::connect(&follow, &QTimer::timeout, [&] { follower.Tick(window.IsRunning()); });
    follow.start(PortFollower::kTickMs);
    if (!ending.received()) window.exec();
    return ending.exit_status();
  }

 private:
  static bool OnWayland() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && platform[0] != '\0')
      return std::string_view(platform).starts_with("wayland");
    return std::getenv("WAYLAND_DISPLAY") != nullptr;
  }
};

}  // namespace tamblet

int main(int argc, char** argv) {
  // These two answer before any window opens; every other word is ignored.
  const std::string_view word = argc > 1 ? argv[1] : "";
  if (word == "--version") return std::puts("tamblet " TAMBLET_VERSION) < 0;
  if (word == "--help") {
    return std::puts(
               "usage: tamblet [--help | --version]\n"
               "Opens the window that installs an update file (*.pgm) into the instrument:\n"
               "Browse picks the file, Load runs the update. For terminals and scripts, see\n"
               "tamblet-cli(1).") < 0;
  }
  return tamblet::CUpdateApp().InitInstance(argv[0]);
}
