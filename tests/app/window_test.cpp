// The Qt window under the offscreen platform: the template's layout, keys,
// the progress bar, runs on the worker, the About box, the screenshots, and
// one whole update pressed in the window against the simulated device.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>

#include "app/qt/about_dlg.h"
#include "app/qt/dialog_template.h"
#include "app/qt/update_window.h"
#include "app/update_dlg.h"
#include "midi/simulated/simulated_midi.h"
#include "sim/device.h"
#include "tests/support/fast_waits.h"
#include "tests/support/settled_waits.h"
#include "update/update_writer.h"

namespace tamblet {
namespace {

// Dialog units worked out here, not through the code under test: a quarter of
// the 52 letters' rounded average width, an eighth of the font's height.
struct Units {
  QFontMetrics fm;
  double bx = std::floor(
      fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0 + 0.5);
  int X(int v) const { return int(std::floor(v * bx / 4 + 0.5)); }
  int Y(int v) const { return int(std::floor(v * fm.height() / 8.0 + 0.5)); }
};

// The sleep inhibitor has no bus to talk to: the update must run all the same.
std::unique_ptr<QtUpdateWindow> MakeWindow() {
  return std::make_unique<QtUpdateWindow>(
      std::make_unique<SleepInhibitor>(QDBusConnection(QStringLiteral("none"))));
}
template <typename T = QPushButton>
T* Get(QtUpdateWindow& window, int id) {
  return qobject_cast<T*>(window.Control(id));
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT
 private slots:
  void layoutMatchesTemplate();
  void closeRequests();
  void progressIsClampedIntoRange();
  void aboutBoxAndScreenshots();
  void keysAndLoadInTheWindow();
};

void WindowTest::layoutMatchesTemplate() {
  auto window = MakeWindow();
  if (QFontDatabase::hasFamily(QStringLiteral("IPAPGothic")))
    QCOMPARE(window->font().family(), QStringLiteral("IPAPGothic"));
  QCOMPARE(window->font().pointSize(), 9);
  const Units u{QFontMetrics(window->font())};
  QCOMPARE(window->size(), QSize(u.X(265), u.Y(150)));
  const std::pair<const char*, TemplateRect> places[] = {
      {"control1000", kBrowseRect},      {"control1001", kFileNameRect},
      {"control1002", kLoadRect},        {"control1007", kProgressRect},
      {"control1012", kStatusRect},      {"inputLabel", kInputLabelRect},
      {"fileLabel", kFileLabelRect},     {"statusLabel", kStatusLabelRect},
      {"outputLabel", kOutputLabelRect}, {"control1015", kOutputPortRect},
      {"control1014", kInputPortRect}};
  for (const auto& [name, r] : places)
    QCOMPARE(window->findChild<QWidget*>(name)->geometry(),
             QRect(u.X(r.x), u.Y(r.y), u.X(r.width), u.Y(r.height)));
  // A port name with markup in it shows as it is.
  window->SetWindowText(IDC_OUTPUT_PORT, "<b>QELMAR</b>");
  QCOMPARE(Get<QLabel>(*window, IDC_OUTPUT_PORT)->text(), QStringLiteral("<b>QELMAR</b>"));
  QCOMPARE(Get<QLabel>(*window, IDC_OUTPUT_PORT)->textFormat(), Qt::PlainText);
}

// Enter in the file-name box, Escape and the close box end the program.
void WindowTest::closeRequests() {
  for (int how : {0, 1, 2}) {
    auto window = MakeWindow();
    window->open();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QSignalSpy closed(window.get(), &QDialog::finished);
    window->Control(IDC_FILE_NAME)->setFocus();
    if (how < 2)
      QTest::keyClick(window->Control(IDC_FILE_NAME), how ? Qt::Key_Escape : Qt::Key_Return);
    if (how == 2) window->close();
    QCOMPARE(closed.count(), 1);
    QVERIFY(!window->isVisible());
  }
}

// Positions are kept inside the range, as by the control the program was made for.
void WindowTest::progressIsClampedIntoRange() {
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

// F1 opens the About box modally; the pictures go to TAMBLET_SCREENSHOT_DIR
// (docs/screenshots for the README), else beside the test.
void WindowTest::aboutBoxAndScreenshots() {
  QString dir = qEnvironmentVariable("TAMBLET_SCREENSHOT_DIR");
  if (dir.isEmpty()) dir = QCoreApplication::applicationDirPath();
  QVERIFY(QDir().mkpath(dir));
  auto window = MakeWindow();
  window->SetWindowText(IDC_OUTPUT_PORT, "QELMAR ABC OUT 1");
  window->SetWindowText(IDC_INPUT_PORT, "QELMAR ABC IN 1");
  window->SetWindowText(IDC_FILE_NAME, "/home/user/firmware/update.pgm");
  window->SetWindowText(IDC_STATUS, "Load Version 1.01");
  window->show();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  QVERIFY(window->grab().save(dir + "/main-dialog.png"));

  bool saved = false;
  QTimer::singleShot(0, this, [&] {
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    if (!about) return;
    saved = about->grab().save(dir + "/about-box.png");
    QTest::keyClick(about, Qt::Key_Escape);
  });
  QCOMPARE(window->actions().front()->text(), QStringLiteral("&About...."));  // context menu
  QTest::keyClick(window.get(), Qt::Key_F1);
  QVERIFY(saved);  // back here only once the box has closed
}

// The whole program in one process: the window, the dialog logic, the
// in-process driver and the simulated device; Browse and Load pressed by keys.
void WindowTest::keysAndLoadInTheWindow() {
  UpdateHeader header;
  std::strcpy(header.model_name, "MODEL-W");
  std::memcpy(header.version, "1.07", 4);
  header.chunk_size = 0x4000;
  header.image_size = 0x8000;
  header.regions[0] = {0x0000, 0x8000};
  std::vector<uint8_t> image(0x8000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + i / 256);
  const std::vector<uint8_t> file = WriteUpdateFile(header, image, BlockChoice::kAll);
  QTemporaryDir dir;
  const std::string path = (dir.path() + "/w.pgm").toStdString();
  std::ofstream(path, std::ios::binary).write((const char*)file.data(), file.size());

  sim::DeviceConfig config;
  config.model_name = "MODEL-W";
  sim::Device device(config);
  midi::PeerFor<sim::Device> peer(device);
  test::FastWaits driver_waits;
  midi::SimulatedMidi midi(driver_waits);
  midi.Connect(&peer, midi.AddOutPort(midi::SimulatedMidi::Caps(37, 4, "QELMAR SIM OUT 1")),
               midi.AddInPort(midi::SimulatedMidi::Caps(37, 5, "QELMAR SIM IN 1")));
  test::SettledWaits waits([&midi] { midi.Drain(); });
  auto window = MakeWindow();
  CUpdateDlg dlg(*window, midi, waits);
  window->SetHandlers({[&dlg] { dlg.OnBrowse(); }, [&dlg] { dlg.OnLoad(); }});
  int dialogs = 0;
  window->SetFileDialogHook([&](QWidget*) { return ++dialogs, path; });
  QVERIFY(dlg.OnInitDialog());
  QSignalSpy closed(window.get(), &QDialog::finished);
  window->open();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  window->FocusFirstTabStop();
  QCOMPARE(QApplication::focusWidget(), window->Control(IDC_BROWSE));
  for (int id : {IDC_FILE_NAME, IDC_LOAD, IDC_BROWSE}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), window->Control(id));
  }
  // No default button: Enter presses the button that has the focus, only that.
  QTest::keyClick(window->Control(IDC_BROWSE), Qt::Key_Return);
  QCOMPARE(Get<QLabel>(*window, IDC_STATUS)->text(), QStringLiteral("Load Version 1.07"));
  QVERIFY(!window->IsRunning());

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
  // During the run Browse and Load are not acted on and a close waits for its end.
  Get(*window, IDC_LOAD)->click();
  Get(*window, IDC_BROWSE)->click();
  window->close();
  QVERIFY(window->isVisible());
  QVERIFY(shown.isEmpty());  // nothing done inside the key press
  QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 20000);
  QCOMPARE(finished.count(), 1);
  QVERIFY(!window->IsRunning());
  QCOMPARE(dialogs, 1);
  QVERIFY(!off_thread);
  QCOMPARE(shown, QStringList({"File reading....", "Device open....", "Copying....",
                               "Loading.... (  0%)", "Loading.... ( 50%)", "Uninstalling....",
                               "Installing....", "Verifying....", "Complete!"}));
  QCOMPARE(Get<QProgressBar>(*window, IDC_PROGRESS)->value(), 2);  // two pieces verified
  QVERIFY(std::equal(image.begin(), image.end(), device.flash().begin()));
}

}  // namespace tamblet

QTEST_MAIN(tamblet::WindowTest)
#include "window_test.moc"
