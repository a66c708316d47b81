// The Qt window: layout from the template, keys, the progress bar, and Load on
// a worker thread. Runs under the offscreen platform.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <fstream>
#include <future>
#include <vector>

#include "app/port_discovery.h"
#include "app/qt/about_dlg.h"
#include "app/qt/dialog_template.h"
#include "app/qt/sleep_inhibitor.h"
#include "app/qt/update_window.h"
#include "app/version_preview.h"
#include "protocol/display.h"
#include "tests/app/fake_enumeration.h"
#include "tests/app/fake_login_manager.h"

Q_DECLARE_METATYPE(tamblet::TemplateRect)

namespace tamblet {
namespace {

// Dialog units computed here from first principles, not through the code
// under test: average width of the 52 letters rounded, font height.
struct Expected {
  int bx;
  int by;
  int X(int v) const { return static_cast<int>(std::floor(v * bx / 4.0 + 0.5)); }
  int Y(int v) const { return static_cast<int>(std::floor(v * by / 8.0 + 0.5)); }
};

Expected ExpectedUnits(const QFont& font) {
  const QFontMetrics fm(font);
  const double average =
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
      52.0;
  return {static_cast<int>(std::floor(average + 0.5)), fm.height()};
}

// A window whose sleep inhibitor talks to nothing.
std::unique_ptr<QtUpdateWindow> MakeWindow() {
  return std::make_unique<QtUpdateWindow>(
      std::make_unique<SleepInhibitor>(QDBusConnection(QStringLiteral("none"))));
}

// Lets a handler on the worker wait for the test. Opens when it goes, so that
// a failed check cannot leave the worker waiting for ever.
class Gate {
 public:
  ~Gate() { Open(); }
  void Open() {
    if (!opened_.exchange(true)) promise_.set_value();
  }
  void Wait() { future_.wait(); }

 private:
  std::atomic<bool> opened_ = false;
  std::promise<void> promise_;
  std::shared_future<void> future_ = promise_.get_future().share();
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void dialogUnitConversion_data();
  void dialogUnitConversion();
  void layoutMatchesTemplate_data();
  void layoutMatchesTemplate();
  void controlsCarryTemplateTextsAndStyles();
  void tabOrderAndMnemonics();
  void enterOnFocusedButtonPressesIt();
  void closeRequests_data();
  void closeRequests();
  void progressIsClampedIntoRange_data();
  void progressIsClampedIntoRange();
  void failedDiscoveryShowsOneMessageBox();
  void browseThroughTheWindow();
  void workerTextsArriveInOrder();
  void windowStaysAliveAndIgnoresClicksDuringRun();
  void closeDuringRunWaitsForTheEnd_data();
  void closeDuringRunWaitsForTheEnd();
  void sleepIsInhibitedDuringRun();
  void aboutBox_data();
  void aboutBox();
  void screenshots();
};

void WindowTest::dialogUnitConversion_data() {
  QTest::addColumn<int>("letters");
  QTest::addColumn<int>("height");
  QTest::addColumn<int>("bx");
  QTest::addColumn<int>("x");
  QTest::addColumn<int>("px");
  // 52 letters of 338 px average 6.5, which rounds up to 7.
  QTest::newRow("half rounds up") << 338 << 16 << 7 << 265 << 464;  // 463.75
  QTest::newRow("just under") << 337 << 16 << 6 << 265 << 398;      // 397.5 rounds up
  QTest::newRow("narrow font") << 285 << 13 << 5 << 50 << 63;       // 62.5 rounds up
  QTest::newRow("exact") << 312 << 12 << 6 << 4 << 6;
  QTest::newRow("zero") << 312 << 12 << 6 << 0 << 0;
}

void WindowTest::dialogUnitConversion() {
  QFETCH(int, letters);
  QFETCH(int, height);
  QFETCH(int, bx);
  QFETCH(int, x);
  QFETCH(int, px);
  const DialogBaseUnits base = BaseUnitsFromFont(letters, height);
  QCOMPARE(base.x, bx);
  QCOMPARE(base.y, height);
  QCOMPARE(DialogXToPixels(x, base), px);
  // Vertical: an eighth of the height, halves away from zero.
  QCOMPARE(DialogYToPixels(150, base), static_cast<int>(std::floor(150 * height / 8.0 + 0.5)));
  QCOMPARE(MulDiv(-3, 2, 4), -2);
  QCOMPARE(MulDiv(3, 2, 0), -1);
  QCOMPARE(DialogRectToPixels(1, 2, 3, 4, {8, 16}), (PixelRect{2, 4, 6, 8}));
}

void WindowTest::layoutMatchesTemplate_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<TemplateRect>("rect");
  QTest::newRow("Browse") << "control1000" << kBrowseRect;
  QTest::newRow("file name") << "control1001" << kFileNameRect;
  QTest::newRow("Load") << "control1002" << kLoadRect;
  QTest::newRow("progress") << "control1007" << kProgressRect;
  QTest::newRow("status") << "control1012" << kStatusRect;
  QTest::newRow("input label") << "inputLabel" << kInputLabelRect;
  QTest::newRow("file label") << "fileLabel" << kFileLabelRect;
  QTest::newRow("status label") << "statusLabel" << kStatusLabelRect;
  QTest::newRow("output label") << "outputLabel" << kOutputLabelRect;
  QTest::newRow("output port") << "control1015" << kOutputPortRect;
  QTest::newRow("input port") << "control1014" << kInputPortRect;
}

void WindowTest::layoutMatchesTemplate() {
  QFETCH(QString, name);
  QFETCH(TemplateRect, rect);
  auto window = MakeWindow();
  if (QFontDatabase::hasFamily(QStringLiteral("IPAPGothic")))
    QCOMPARE(window->font().family(), QStringLiteral("IPAPGothic"));
  QCOMPARE(window->font().pointSize(), 9);
  const Expected e = ExpectedUnits(window->font());
  QVERIFY(e.bx > 0 && e.by > 0);
  QCOMPARE(window->size(), QSize(e.X(265), e.Y(150)));
  QCOMPARE(window->minimumSize(), window->maximumSize());
  auto* widget = window->findChild<QWidget*>(name);
  QVERIFY(widget);
  QCOMPARE(widget->geometry(), QRect(e.X(rect.x), e.Y(rect.y), e.X(rect.width), e.Y(rect.height)));
}

void WindowTest::controlsCarryTemplateTextsAndStyles() {
  auto window = MakeWindow();
  QCOMPARE(window->windowTitle(), QStringLiteral("Tamblet"));
  QVERIFY(!window->windowIcon().isNull());
  const auto text = [&](const char* name) { return window->findChild<QLabel*>(name)->text(); };
  QCOMPARE(text("outputLabel"), QStringLiteral("Output Port :"));
  QCOMPARE(text("inputLabel"), QStringLiteral("Input Port :"));
  QCOMPARE(text("fileLabel"), QStringLiteral("File Name :"));
  QCOMPARE(text("statusLabel"), QStringLiteral("Status :"));
  auto* browse = qobject_cast<QPushButton*>(window->Control(IDC_BROWSE));
  auto* load = qobject_cast<QPushButton*>(window->Control(IDC_LOAD));
  QCOMPARE(browse->text(), QStringLiteral("&Browse"));
  QCOMPARE(load->text(), QStringLiteral("&Load"));
  for (auto* button : {browse, load}) QVERIFY(!button->isDefault() && !button->autoDefault());

  auto* status = qobject_cast<QLabel*>(window->Control(IDC_STATUS));
  QCOMPARE(status->text(), QString());
  QCOMPARE(status->alignment(), Qt::AlignCenter);
  for (int id : {IDC_STATUS, IDC_OUTPUT_PORT, IDC_INPUT_PORT}) {
    auto* field = qobject_cast<QLabel*>(window->Control(id));
    QCOMPARE(field->frameShadow(), QFrame::Sunken);
    QCOMPARE(field->textFormat(), Qt::PlainText);
  }
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_OUTPUT_PORT))->alignment(),
           Qt::AlignLeft | Qt::AlignVCenter);
  QVERIFY(!qobject_cast<QProgressBar*>(window->Control(IDC_PROGRESS))->isTextVisible());

  // Markup in a port name shows as it is.
  window->SetWindowText(IDC_OUTPUT_PORT, "<b>QELMAR</b>");
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_OUTPUT_PORT))->text(),
           QStringLiteral("<b>QELMAR</b>"));
}

void WindowTest::tabOrderAndMnemonics() {
  auto window = MakeWindow();
  int browsed = 0;
  window->SetHandlers({[&] { ++browsed; }, {}});
  window->show();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  window->FocusFirstTabStop();
  QCOMPARE(QApplication::focusWidget(), window->Control(IDC_BROWSE));
  const int order[] = {IDC_FILE_NAME, IDC_LOAD, IDC_BROWSE, IDC_FILE_NAME};
  for (int id : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), window->Control(id));
  }
  QTest::keyClick(window.get(), Qt::Key_B, Qt::AltModifier);
  QTRY_COMPARE(browsed, 1);
}

void WindowTest::enterOnFocusedButtonPressesIt() {
  auto window = MakeWindow();
  int browsed = 0;
  std::atomic<int> loaded = 0;
  window->SetHandlers({[&] { ++browsed; }, [&] { ++loaded; }});
  window->show();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  QSignalSpy finished(window.get(), &QtUpdateWindow::RunFinished);

  window->Control(IDC_BROWSE)->setFocus();
  QTest::keyClick(window->Control(IDC_BROWSE), Qt::Key_Return);
  QCOMPARE(browsed, 1);
  window->Control(IDC_LOAD)->setFocus();
  QTest::keyClick(window->Control(IDC_LOAD), Qt::Key_Enter, Qt::KeypadModifier);
  QTRY_COMPARE(finished.count(), 1);
  QCOMPARE(loaded.load(), 1);
  QCOMPARE(browsed, 1);
  QVERIFY(window->isVisible());
}

void WindowTest::closeRequests_data() {
  QTest::addColumn<int>("how");
  QTest::newRow("Enter in the file-name box") << 0;
  QTest::newRow("Escape") << 1;
  QTest::newRow("close box") << 2;
}

void WindowTest::closeRequests() {
  QFETCH(int, how);
  auto window = MakeWindow();
  window->open();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  QSignalSpy finished(window.get(), &QDialog::finished);
  window->Control(IDC_FILE_NAME)->setFocus();
  if (how == 0) QTest::keyClick(window->Control(IDC_FILE_NAME), Qt::Key_Return);
  if (how == 1) QTest::keyClick(window->Control(IDC_FILE_NAME), Qt::Key_Escape);
  if (how == 2) window->close();
  QCOMPARE(finished.count(), 1);
  QVERIFY(!window->isVisible());
}

void WindowTest::progressIsClampedIntoRange_data() {
  QTest::addColumn<std::vector<uint32_t>>("ops");  // msg, wparam, lparam triples
  QTest::addColumn<int>("minimum");
  QTest::addColumn<int>("maximum");
  QTest::addColumn<int>("value");
  const uint32_t range35 = MakeRange(0, 35);
  QTest::newRow("opening") << std::vector<uint32_t>{PBM_SETRANGE, 0, range35, PBM_SETPOS, 0, 0} << 0
                           << 35 << 0;
  QTest::newRow("position above") << std::vector<uint32_t>{PBM_SETRANGE, 0,  range35,
                                                           PBM_SETPOS,   40, 0}
                                  << 0 << 35 << 35;
  QTest::newRow("advance past the end") << std::vector<uint32_t>{PBM_SETRANGE, 0, MakeRange(0, 3),
                                                                 PBM_SETPOS,   2, 0,
                                                                 PBM_DELTAPOS, 1, 0,
                                                                 PBM_DELTAPOS, 1, 0}
                                        << 0 << 3 << 3;
  QTest::newRow("narrower range pulls the position in")
      << std::vector<uint32_t>{PBM_SETRANGE, 0, range35,        PBM_SETPOS, 30, 0,
                               PBM_SETRANGE, 0, MakeRange(0, 5)}
      << 0 << 5 << 5;
  QTest::newRow("negative position")
      << std::vector<uint32_t>{PBM_SETRANGE, 0, range35, PBM_SETPOS, 0xFFFFFFFFu, 0} << 0 << 35
      << 0;
  QTest::newRow("16-bit maximum") << std::vector<uint32_t>{PBM_SETRANGE, 0,     MakeRange(0, 65535),
                                                           PBM_SETPOS,   65535, 0}
                                  << 0 << 65535 << 65535;
  QTest::newRow("empty range shows empty")
      << std::vector<uint32_t>{PBM_SETRANGE, 0, MakeRange(0, 0), PBM_SETPOS, 1, 0} << 0 << 1 << 0;
}

void WindowTest::progressIsClampedIntoRange() {
  QFETCH(std::vector<uint32_t>, ops);
  QFETCH(int, minimum);
  QFETCH(int, maximum);
  QFETCH(int, value);
  auto window = MakeWindow();
  for (size_t i = 0; i + 2 < ops.size(); i += 3)
    window->SendProgressMessage(ops[i], ops[i + 1], ops[i + 2]);
  auto* bar = qobject_cast<QProgressBar*>(window->Control(IDC_PROGRESS));
  QCOMPARE(bar->minimum(), minimum);
  QCOMPARE(bar->maximum(), maximum);
  QCOMPARE(bar->value(), value);
}

void WindowTest::failedDiscoveryShowsOneMessageBox() {
  auto window = MakeWindow();
  QStringList boxes;
  window->SetMessageBoxHook([&](QWidget* parent, const QString& text) {
    QCOMPARE(parent, window.get());
    boxes << text;
  });
  test::FakeEnumeration midi;
  midi.outputs = {{test::Caps(37, 4, "QELMAR ABC OUT 1")}};
  QVERIFY(!DiscoverPortPair(midi, *window).found());
  QCOMPARE(boxes, QStringList{QStringLiteral("QELMAR USB Driver not found!!")});
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_STATUS))->text(),
           QStringLiteral("QELMAR USB Driver not found!!"));
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_OUTPUT_PORT))->text(),
           QStringLiteral("QELMAR ABC OUT 1"));
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_INPUT_PORT))->text(), QString());
  auto* bar = qobject_cast<QProgressBar*>(window->Control(IDC_PROGRESS));
  QCOMPARE(bar->maximum(), 35);
  QCOMPARE(bar->value(), 0);
}

void WindowTest::browseThroughTheWindow() {
  QTemporaryDir dir;
  const std::string path = (dir.path() + QStringLiteral("/a.pgm")).toStdString();
  std::vector<char> header(128, 'x');
  std::copy_n("2.10", 4, header.begin() + 16);
  std::ofstream(path, std::ios::binary).write(header.data(), 128);

  auto window = MakeWindow();
  std::vector<std::string> answers = {path, ""};
  window->SetFileDialogHook([&](QWidget*) {
    std::string next = answers.front();
    answers.erase(answers.begin());
    return next;
  });
  std::string selected;
  window->SetHandlers({[&] { selected = BrowseForUpdateFile(*window); }, {}});
  auto* box = qobject_cast<QLineEdit*>(window->Control(IDC_FILE_NAME));
  box->setText(QStringLiteral("typed by hand"));
  qobject_cast<QPushButton*>(window->Control(IDC_BROWSE))->click();
  QCOMPARE(selected, path);
  QCOMPARE(box->text().toStdString(), path);
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_STATUS))->text(),
           QStringLiteral("Load Version 2.10"));
  qobject_cast<QPushButton*>(window->Control(IDC_BROWSE))->click();  // Cancel
  QCOMPARE(selected, std::string());
  QCOMPARE(box->text(), QString());
  QCOMPARE(qobject_cast<QLabel*>(window->Control(IDC_STATUS))->text(),
           QStringLiteral("Load Version 2.10"));
}

void WindowTest::workerTextsArriveInOrder() {
  auto window = MakeWindow();
  auto* box = qobject_cast<QLineEdit*>(window->Control(IDC_FILE_NAME));
  auto* bar = qobject_cast<QProgressBar*>(window->Control(IDC_PROGRESS));
  window->SendProgressMessage(PBM_SETRANGE, 0, MakeRange(0, 1000));
  QStringList seen;
  std::atomic<bool> touched_elsewhere = false;
  // Direct: the widgets themselves must change on the window's thread.
  const auto note = [&](const QString& what) {
    if (QThread::currentThread() != window->thread()) touched_elsewhere = true;
    seen << what;
  };
  connect(
      box, &QLineEdit::textChanged, this, [&](const QString& t) { note("t" + t); },
      Qt::DirectConnection);
  connect(
      bar, &QProgressBar::valueChanged, this, [&](int v) { note("p" + QString::number(v)); },
      Qt::DirectConnection);

  window->SetWindowText(IDC_FILE_NAME, "from the window");
  std::atomic<bool> on_window_thread = true;
  std::string read_back;
  constexpr int kCount = 500;
  window->SetHandlers({{}, [&] {
                         on_window_thread = QThread::currentThread() == window->thread();
                         read_back = window->GetWindowText(IDC_FILE_NAME);
                         for (int i = 1; i <= kCount; ++i) {
                           window->SetWindowText(IDC_FILE_NAME, std::to_string(i));
                           window->SendProgressMessage(PBM_SETPOS, i, 0);
                         }
                       }});
  seen.clear();
  QSignalSpy finished(window.get(), &QtUpdateWindow::RunFinished);
  qobject_cast<QPushButton*>(window->Control(IDC_LOAD))->click();
  QTRY_COMPARE(finished.count(), 1);
  QVERIFY(!on_window_thread);
  QVERIFY(!touched_elsewhere);
  QCOMPARE(read_back, std::string("from the window"));
  QStringList expected;
  for (int i = 1; i <= kCount; ++i)
    expected << "t" + QString::number(i) << "p" + QString::number(i);
  QCOMPARE(seen, expected);
}

void WindowTest::windowStaysAliveAndIgnoresClicksDuringRun() {
  auto window = MakeWindow();
  Gate gate;
  std::atomic<int> loads = 0;
  int browses = 0;
  window->SetHandlers({[&] { ++browses; },
                       [&] {
                         ++loads;
                         window->SetWindowText(IDC_STATUS, "Device open....");
                         gate.Wait();
                         window->SetWindowText(IDC_STATUS, "Complete!");
                       }});
  window->show();
  QSignalSpy started(window.get(), &QtUpdateWindow::RunStarted);
  QSignalSpy finished(window.get(), &QtUpdateWindow::RunFinished);
  auto* load = qobject_cast<QPushButton*>(window->Control(IDC_LOAD));
  auto* status = qobject_cast<QLabel*>(window->Control(IDC_STATUS));
  load->click();
  // The event loop runs while the update is in progress.
  QTRY_COMPARE(status->text(), QStringLiteral("Device open...."));
  QVERIFY(window->IsRunning());
  load->click();
  load->click();
  qobject_cast<QPushButton*>(window->Control(IDC_BROWSE))->click();
  QTest::qWait(20);
  QCOMPARE(loads.load(), 1);
  QCOMPARE(browses, 0);
  QCOMPARE(started.count(), 1);
  gate.Open();
  QTRY_COMPARE(finished.count(), 1);
  QCOMPARE(status->text(), QStringLiteral("Complete!"));
  QVERIFY(!window->IsRunning());
  // Once the run has ended both buttons work again (the gate stays open).
  load->click();
  QTRY_COMPARE(finished.count(), 2);
  QCOMPARE(loads.load(), 2);
  qobject_cast<QPushButton*>(window->Control(IDC_BROWSE))->click();
  QCOMPARE(browses, 1);
}

void WindowTest::closeDuringRunWaitsForTheEnd_data() { closeRequests_data(); }

void WindowTest::closeDuringRunWaitsForTheEnd() {
  QFETCH(int, how);
  auto window = MakeWindow();
  Gate gate;
  std::atomic<bool> ended = false;
  window->SetHandlers({{}, [&] {
                         gate.Wait();
                         ended = true;
                       }});
  window->open();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  QSignalSpy closed(window.get(), &QDialog::finished);
  qobject_cast<QPushButton*>(window->Control(IDC_LOAD))->click();
  window->Control(IDC_FILE_NAME)->setFocus();
  if (how == 0) QTest::keyClick(window->Control(IDC_FILE_NAME), Qt::Key_Return);
  if (how == 1) QTest::keyClick(window->Control(IDC_FILE_NAME), Qt::Key_Escape);
  if (how == 2) window->close();
  QTest::qWait(20);
  QVERIFY(window->isVisible());
  QCOMPARE(closed.count(), 0);
  gate.Open();
  QTRY_COMPARE(closed.count(), 1);
  QVERIFY(ended);
  QVERIFY(!window->isVisible());
}

void WindowTest::sleepIsInhibitedDuringRun() {
  test::PrivateBus bus;
  if (!bus.ok()) QSKIP("no dbus-daemon to run a private bus");
  auto window = std::make_unique<QtUpdateWindow>(std::make_unique<SleepInhibitor>(bus.Client()));
  Gate gate;
  window->SetHandlers({{}, [&] { gate.Wait(); }});
  QSignalSpy answered(&window->inhibitor(), &SleepInhibitor::AnswerArrived);
  QSignalSpy finished(window.get(), &QtUpdateWindow::RunFinished);
  qobject_cast<QPushButton*>(window->Control(IDC_LOAD))->click();
  QTRY_COMPARE(answered.count(), 1);
  QCOMPARE(bus.manager().calls, 1);
  QCOMPARE(bus.manager().last_call,
           (QStringList{"sleep:shutdown", "Tamblet", "Updating firmware", "block"}));
  QVERIFY(window->inhibitor().held());
  QVERIFY(bus.manager().LastHeld());
  gate.Open();
  QTRY_COMPARE(finished.count(), 1);
  QVERIFY(!window->inhibitor().held());
  QVERIFY(!bus.manager().LastHeld());
}

void WindowTest::aboutBox_data() {
  QTest::addColumn<int>("open_by");   // 0: F1, 1: context menu entry
  QTest::addColumn<int>("close_by");  // 0: OK, 1: Escape, 2: close box
  QTest::newRow("F1, OK") << 0 << 0;
  QTest::newRow("menu, Escape") << 1 << 1;
  QTest::newRow("F1, close box") << 0 << 2;
}

void WindowTest::aboutBox() {
  QFETCH(int, open_by);
  QFETCH(int, close_by);
  auto window = MakeWindow();
  window->show();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  QPointer<CAboutDlg> seen;
  bool checked = false;
  QTimer::singleShot(0, this, [&] {
    seen = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    if (!seen) return;
    const Expected e = ExpectedUnits(seen->font());
    checked = seen->windowTitle() == QStringLiteral("About Tamblet") &&
              seen->size() == QSize(e.X(217), e.Y(55)) &&
              seen->findChild<QLabel*>("programLine")->text() == QStringLiteral("Tamblet V1.01") &&
              seen->findChild<QLabel*>("programLine")->textFormat() == Qt::PlainText &&
              seen->findChild<QPushButton*>("ok")->isDefault() &&
              seen->findChild<QLabel*>("icon")->geometry() == QRect(e.X(11), e.Y(17), 32, 32) &&
              !seen->findChild<QLabel*>("line1")->text().isEmpty() &&
              !seen->findChild<QLabel*>("line2")->text().isEmpty() && !seen->windowIcon().isNull();
    if (close_by == 0) QTest::keyClick(seen->findChild<QPushButton*>("ok"), Qt::Key_Return);
    if (close_by == 1) QTest::keyClick(seen, Qt::Key_Escape);
    if (close_by == 2) seen->close();
  });
  if (open_by == 0) {
    QTest::keyClick(window.get(), Qt::Key_F1);
  } else {
    const auto actions = window->actions();
    QCOMPARE(window->contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(actions.size(), 1);
    QCOMPARE(actions.front()->text(), QStringLiteral("&About...."));
    actions.front()->trigger();
  }
  // Back here only once the box has closed.
  QVERIFY(checked);
  QVERIFY(seen.isNull());
  QVERIFY(window->isVisible());
}

void WindowTest::screenshots() {
  QString dir = qEnvironmentVariable("TAMBLET_SCREENSHOT_DIR");
  if (dir.isEmpty()) dir = QCoreApplication::applicationDirPath();
  QVERIFY(QDir().mkpath(dir));

  QTemporaryDir files;
  const std::string path = (files.path() + QStringLiteral("/update.pgm")).toStdString();
  std::vector<char> header(128, 0);
  std::copy_n("1.01", 4, header.begin() + 16);
  std::ofstream(path, std::ios::binary).write(header.data(), 128);

  auto window = MakeWindow();
  test::FakeEnumeration midi;
  midi.outputs = {{test::Caps(37, 4, "QELMAR ABC OUT 1")}};
  midi.inputs = {{test::Caps(37, 5, "QELMAR ABC IN 1")}};
  QVERIFY(DiscoverPortPair(midi, *window).found());
  window->SetWindowText(IDC_FILE_NAME, path);
  window->SetWindowText(IDC_STATUS, *ReadVersionPreview(path));
  window->SetWindowText(IDC_FILE_NAME, "/home/user/firmware/update.pgm");
  window->show();
  QVERIFY(QTest::qWaitForWindowExposed(window.get()));
  const QPixmap main = window->grab();
  QCOMPARE(main.size(), window->size() * main.devicePixelRatio());
  QVERIFY(main.save(dir + QStringLiteral("/main-dialog.png")));

  CAboutDlg about(window.get());
  about.show();
  QVERIFY(QTest::qWaitForWindowExposed(&about));
  QVERIFY(about.grab().save(dir + QStringLiteral("/about-box.png")));
}

}  // namespace tamblet

QTEST_MAIN(tamblet::WindowTest)
#include "window_test.moc"
