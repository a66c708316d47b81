// Tamblet: one modal dialog that installs new firmware into the device.
#include <QApplication>
#include <cstdio>
#include <memory>
#include <string_view>

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
    const TerminationSignals ending(window);
    window.PlaceInitialFocus(dlg.OnInitDialog());
    if (!ending.received()) window.exec();
    return ending.exit_status();
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
