// The Qt window under the offscreen platform: port names, keys, the
// progress bar, the real file dialog, and an update pressed in the window
// against the simulated device, run on the worker and stopped by closing the
// window.
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <csignal>

#include "app/qt/termination_signals.h"
#include "app/qt/update_window.h"
#include "app/update_dlg.h"
#include "app/version_preview.h"
#include "tests/support/simulated_instrument.h"
#include "tests/support/update_files.h"

namespace tamblet {
namespace {

// The sleep inhibitor has no bus to talk to: the update must run all the same.
std::unique_ptr<QtUpdateWindow> MakeWindow() {
  return std::make_unique<QtUpdateWindow>(
      std::make_unique<SleepInhibitor>("unix:path=/nonexistent/bus"));
}
// A job a script starts in the background has SIGINT ignored, and the window
// leaves a signal ignored as it found it.
void DefaultSignals() {
  for (const int number : {SIGTERM, SIGHUP, SIGINT}) std::signal(number, SIG_DFL);
}
template <typename T = QPushButton>
T* Get(QtUpdateWindow& window, int id) {
  return qobject_cast<T*>(window.Control(id));
}

// The whole program in one process: the window, the dialog logic, the
// in-process driver and a simulated device that never ends its Copy, with an
// update file that Browse is answered with.
struct EndlessRun : test::SimulatedInstrument {
  EndlessRun() : test::SimulatedInstrument({"MODEL-W", 0x8000, 0xFF, {}}) {  // flash = the image
    peer.endless = true;
    window->SetHandlers(
        {[this] { dlg.OnBrowse(); }, [this] { dlg.OnLoad(); }, [this] { dlg.RequestStop(); }});
    window->SetFileDialogHook([this](QWidget*) { return ++dialogs, path; });
  }
  long continues() const { return std::ranges::count(peer.commands(), sim::Command::kContinue); }

  const std::string path =
      test::TempUpdateFile({"MODEL-W", {'1', '.', '0', '7'}, 0, 0x4000, 0x8000, {{0, 0x8000}, {}}},
                           std::vector<uint8_t>(0x8000));
  std::unique_ptr<QtUpdateWindow> window = MakeWindow();
  CUpdateDlg dlg{*window, midi, waits};
  int dialogs = 0;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT
 private slots:
  // A port name with markup in it shows as it is.
  void plainPortNames() {
    auto window = MakeWindow();
    window->SetWindowText(IDC_OUTPUT_PORT, "<b>QELMAR</b>");
    QCOMPARE(Get<QLabel>(*window, IDC_OUTPUT_PORT)->text(), QStringLiteral("<b>QELMAR</b>"));
    QCOMPARE(Get<QLabel>(*window, IDC_OUTPUT_PORT)->textFormat(), Qt::PlainText);
  }

  // After a failed discovery no control has the focus, so Enter does nothing.
  // Enter in the file-name box and Escape are heard ending the program in the
  // accessibility test, the close box ending it below, during a run.
  void enterWithoutFocus() {
    auto window = MakeWindow();
    int browsed = 0;
    window->SetHandlers({[&browsed] { ++browsed; }, {}, {}});
    window->PlaceInitialFocus(false);
    window->open();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(browsed, 0);
    QVERIFY(window->isVisible());
  }

  // Positions are kept inside the range, as by the control the program was made for.
  void progressIsClampedIntoRange() {
    auto window = MakeWindow();
    auto* bar = Get<QProgressBar>(*window, IDC_PROGRESS);
    const struct {
      uint32_t msg, wparam, lparam;
      int maximum, value;
    } steps[] = {
        {PBM_SETRANGE, 0, MakeRange(0, 3), 3, 0},         {PBM_DELTAPOS, 5, 0, 3, 3},
        {PBM_SETRANGE, 0, MakeRange(0, 65535), 65535, 3}, {PBM_SETPOS, 65535, 0, 65535, 65535},
        {PBM_SETRANGE, 0, MakeRange(0, 5), 5, 5},         {PBM_SETPOS, 0xFFFFFFFFu, 0, 5, 0},
        {PBM_SETRANGE, 0, MakeRange(0, 0), 1, 0},  // an empty range shows empty
    };
    for (const auto& s : steps) {
      window->SendProgressMessage(s.msg, s.wparam, s.lparam);
      QCOMPARE(bar->maximum(), s.maximum);
      QCOMPARE(bar->value(), s.value);
    }
  }

  // The real file-open dialog through Browse: its filters, Cancel, a name
  // without a suffix, the default suffix, and a name that is not UTF-8, kept as
  // bytes until the box is edited by hand. The preview of the chosen file is
  // the logic test's.
  void browseWithTheFileDialog() {
    QTemporaryDir dir;
    const std::string folder = QFile::encodeName(dir.path()).toStdString() + "/";
    for (const char* name : {"noext", "b.sdy", "caf\xE9.pgm"}) std::ofstream(folder + name) << name;
    struct Remove {  // beyond QTemporaryDir, which knows names only as UTF-8
      std::string path;
      ~Remove() { std::filesystem::remove(path); }
    } remove_cafe{folder + "caf\xE9.pgm"};
    const QString cafe = QStringLiteral("caf\uFFFD.pgm");  // as Qt shows it
    auto window = MakeWindow();
    window->open();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    const struct {
      QString typed;  // empty: Cancel
      std::string path;
    } cases[] = {
        {{}, ""},
        {"noext", folder + "noext"},  // exists as it is
        {"b", folder + "b.sdy"},
        // Qt's dialog lists no name that is not UTF-8; typed as shown, it is found.
        {cafe, folder + "caf\xE9.pgm"},
    };
    for (const auto& c : cases) {
      QStringList filters;
      QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        filters = QStringList{dialog->selectedNameFilter()} + dialog->nameFilters();
        if (c.typed.isEmpty()) return dialog->reject();
        // A warning the dialog might raise is closed, and the dialog with it.
        QTimer::singleShot(0, dialog, [] {
          if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->reject();
        });
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        edit->setText(dir.path() + "/" + c.typed);
        QTest::keyClick(edit, Qt::Key_Return);
        if (dialog->isVisible()) dialog->reject();
      });
      QCOMPARE(BrowseForUpdateFile(*window), c.path);
      QCOMPARE(filters,
               QStringList({"program files (*.pgm)", "program files (*.pgm)", "All Files (*)"}));
      QCOMPARE(window->GetWindowText(IDC_FILE_NAME), c.path);
    }
    auto* box = Get<QLineEdit>(*window, IDC_FILE_NAME);
    QCOMPARE(box->text(), dir.path() + "/" + cafe);
    QTest::keyClicks(box, "x");  // typed by hand: taken as typed
    QCOMPARE(window->GetWindowText(IDC_FILE_NAME), (dir.path() + "/" + cafe + "x").toStdString());
  }

  // Browse and Load pressed by keys (the focus at start and the tab order are
  // heard in the accessibility test). A close during the run asks whether to
  // stop it: Enter, the default, keeps it going; Yes stops it at its next
  // exchange with Copy's failure text, and the window closes at the run's end.
  void keysLoadAndCloseDuringARun() {
    EndlessRun run;
    auto& window = run.window;
    QSignalSpy closed(window.get(), &QDialog::finished);
    window->PlaceInitialFocus(run.dlg.OnInitDialog());
    window->open();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    // No default button: Enter presses the button that has the focus, only that.
    QTest::keyClick(window->Control(IDC_BROWSE), Qt::Key_Return);
    QCOMPARE(Get<QLabel>(*window, IDC_STATUS)->text(), QStringLiteral("Load Version 1.07"));

    QStringList shown;  // as the window thread applies them, while its loop runs
    std::atomic<bool> off_thread = false;
    const auto seen = [&](int control, const QString& text) {
      off_thread = off_thread || QThread::currentThread() != window->thread();
      if (control == IDC_STATUS) shown << text;
    };
    connect(window.get(), &QtUpdateWindow::TextApplied, this, seen, Qt::DirectConnection);
    QSignalSpy finished(window.get(), &QtUpdateWindow::RunFinished);
    window->Control(IDC_LOAD)->setFocus();
    QTest::keyClick(window->Control(IDC_LOAD), Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(window->IsRunning());
    // During the run Browse and Load are not acted on.
    Get(*window, IDC_LOAD)->click();
    Get(*window, IDC_BROWSE)->click();
    QVERIFY(shown.isEmpty());  // nothing done inside the key press
    for (const bool yes : {false, true}) {
      const auto before = run.continues();
      QTRY_VERIFY_WITH_TIMEOUT(run.continues() >= before + 10, 20000);  // still running
      QCOMPARE(closed.count(), 0);
      QString question;  // answered with Enter, which must mean No, or with Yes
      QTimer::singleShot(0, this, [yes, &question] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        question = box->text();
        yes ? box->button(QMessageBox::Yes)->click() : QTest::keyClick(box, Qt::Key_Return);
      });
      window->close();
      QVERIFY(question.contains("Stop the update?"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 20000);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!window->IsRunning());
    QCOMPARE(run.dialogs, 1);
    QVERIFY(!off_thread);
    QCOMPARE(shown,
             QStringList({"File reading....", "Device open....", "Copying....", "Copy failed!!"}));
  }

  // A signal during a run stops it at its next exchange, as a confirmed close
  // does, and the window closes at the run's end with the status a shell gives
  // for that signal. Which signals are caught when idle, and a box over the
  // window, are the next case's; what a stop leaves at the device, the load test's.
  void aSignalStopsARun() {
    DefaultSignals();
    for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
      EndlessRun run;
      auto& window = run.window;
      const TerminationSignals ending(*window);
      QSignalSpy closed(window.get(), &QDialog::finished);
      window->PlaceInitialFocus(run.dlg.OnInitDialog());
      window->open();
      Get(*window, IDC_BROWSE)->click();
      Get(*window, IDC_LOAD)->click();
      QTRY_VERIFY_WITH_TIMEOUT(run.continues() > 10, 20000);
      QCOMPARE(closed.count(), 0);
      ::kill(::getpid(), number);
      ::kill(::getpid(), number == SIGTERM ? SIGINT : SIGTERM);  // a later one changes nothing
      QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 20000);
      QVERIFY(!window->IsRunning());
      QCOMPARE(Get<QLabel>(*window, IDC_STATUS)->text(), QStringLiteral("Copy failed!!"));
      QVERIFY(run.Closed());
      QCOMPARE(ending.exit_status(), 128 + number);
    }
  }

  // The program itself, with no device to find, on each signal, which comes
  // while its alert is open over the window: it ends at once and by itself,
  // not killed by the signal, with the status a shell gives for that signal.
  void theProgramEndsOnASignal() {
    DefaultSignals();  // for the program too
    for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
      QProcess program;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
      env.insert(QStringLiteral("JACK_DEFAULT_SERVER"), QStringLiteral("tamblet-no-such-server"));
      program.setProcessEnvironment(env);
      program.start(QStringLiteral(TAMBLET_PATH), {});
      QVERIFY(program.waitForStarted());
      // Sent once the program catches it, or after ten seconds when it never does.
      const QString status = QStringLiteral("/proc/%1/status").arg(program.processId());
      const auto catches = [&]() -> bool {
        QFile file(status);
        if (!file.open(QIODevice::ReadOnly)) return false;
        for (const QByteArray& line : file.readAll().split('\n')) {
          if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (number - 1)) & 1;
        }
        return false;
      };
      for (int i = 0; i < 100 && !catches(); ++i) QTest::qWait(100);
      ::kill(static_cast<pid_t>(program.processId()), number);
      QVERIFY(program.waitForFinished(10000));
      QCOMPARE(program.exitStatus(), QProcess::NormalExit);
      QCOMPARE(program.exitCode(), 128 + number);
    }
  }
};

}  // namespace tamblet

QTEST_MAIN(tamblet::WindowTest)
#include "window_test.moc"
