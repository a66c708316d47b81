// Tamblet: one modal dialog that installs new firmware into the device.
#include <QApplication>
#include <memory>

#include "app/qt/update_window.h"
#include "app/update_dlg.h"
#include "midi/system_midi.h"

namespace tamblet {

// The application: builds the dialog, runs it modally, and ends with it.
class CUpdateApp {
 public:
  int InitInstance(char* program) {
    // The program takes no command line: Qt sees only the program's name.
    int argc = 1;
    char* argv[] = {program, nullptr};
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamblet"));
    QApplication::setDesktopFileName(QStringLiteral("tamblet"));

    const std::unique_ptr<midi::MidiLayer> midi = midi::CreateSystemMidiLayer();
    QtUpdateWindow window;
    CUpdateDlg dlg(window, *midi);
    window.SetHandlers(
        {[&dlg] { dlg.OnBrowse(); }, [&dlg] { dlg.OnLoad(); }, [&dlg] { dlg.RequestStop(); }});
    window.PlaceInitialFocus(dlg.OnInitDialog());
    window.exec();
    return 0;
  }
};

}  // namespace tamblet

int main(int, char** argv) { return tamblet::CUpdateApp().InitInstance(argv[0]); }
