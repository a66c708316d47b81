// The whole program in one process: the Qt window, the dialog logic, the port
// pair and the in-process driver, against the simulated device. Load is
// pressed in the window and the texts change there while the update runs.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <cstring>
#include <fstream>

#include "app/qt/update_window.h"
#include "app/update_dlg.h"
#include "midi/simulated/simulated_midi.h"
#include "protocol/device_commands.h"
#include "sim/device.h"
#include "tests/support/fast_waits.h"
#include "tests/support/settled_waits.h"
#include "update/update_writer.h"

namespace tamblet {

class WindowLoadTest : public QObject {
  Q_OBJECT
 private slots:
  void loadPressedInTheWindow();
};

void WindowLoadTest::loadPressedInTheWindow() {
  constexpr uint32_t kImageSize = 0x10000;
  UpdateHeader header;
  std::strcpy(header.model_name, "MODEL-W");
  std::memcpy(header.version, "1.07", 4);
  header.target_select = 1;
  header.chunk_size = 0x4000;
  header.image_size = kImageSize;
  header.regions[0] = {0x0000, 0x8000};
  header.regions[1] = {0x8000, 0x4001};
  std::vector<uint8_t> image(kImageSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 256);
  const std::vector<uint8_t> file = WriteUpdateFile(header, image, BlockChoice::kAll);
  QTemporaryDir dir;
  const std::string path = (dir.path() + QStringLiteral("/w.pgm")).toStdString();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));

  sim::DeviceConfig config;
  config.model_name = "MODEL-W";
  config.flash_size = kImageSize;
  config.progress_step = 0x4000;
  sim::Device device(config);
  midi::PeerFor<sim::Device> peer(device);
  test::FastWaits driver_waits;
  midi::SimulatedMidi midi(driver_waits);
  const uint32_t out = midi.AddOutPort(midi::SimulatedMidi::Caps(37, 4, "QELMAR SIM OUT 1"));
  const uint32_t in = midi.AddInPort(midi::SimulatedMidi::Caps(37, 5, "QELMAR SIM IN 1"));
  midi.Connect(&peer, out, in);
  midi.SetLateAfter(kReplyTimeoutMs);
  test::SettledWaits waits([&midi] { midi.Drain(); });

  QtUpdateWindow window(std::make_unique<SleepInhibitor>(QDBusConnection(QStringLiteral("none"))));
  CUpdateDlg dlg(window, midi, waits);
  window.SetHandlers({[&dlg] { dlg.OnBrowse(); }, [&dlg] { dlg.OnLoad(); }});
  window.SetFileDialogHook([&](QWidget*) { return path; });

  QVERIFY(dlg.OnInitDialog());
  QCOMPARE(qobject_cast<QLabel*>(window.Control(IDC_OUTPUT_PORT))->text(),
           QStringLiteral("QELMAR SIM OUT 1"));
  qobject_cast<QPushButton*>(window.Control(IDC_BROWSE))->click();
  auto* status = qobject_cast<QLabel*>(window.Control(IDC_STATUS));
  QCOMPARE(status->text(), QStringLiteral("Load Version 1.07"));

  QStringList shown;
  std::atomic<bool> off_thread = false;
  connect(
      &window, &QtUpdateWindow::TextApplied, this,
      [&](int control, const QString& text) {
        if (QThread::currentThread() != window.thread()) off_thread = true;
        if (control == IDC_STATUS) shown << text;
      },
      Qt::DirectConnection);
  QSignalSpy finished(&window, &QtUpdateWindow::RunFinished);
  window.show();
  qobject_cast<QPushButton*>(window.Control(IDC_LOAD))->click();
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);

  QVERIFY(!off_thread);
  QCOMPARE(status->text(), QStringLiteral("Complete!"));
  const QStringList expected = {"File reading....",   "Device open....",    "Copying....",
                                "Loading.... (  0%)", "Loading.... ( 50%)", "Loading.... (  0%)",
                                "Loading.... ( 99%)", "Uninstalling....",   "Installing....",
                                "Verifying....",      "Complete!"};
  QCOMPARE(shown, expected);
  // Verify of region 1: 0x4001 bytes in pieces of 0x4000 is two pieces.
  auto* bar = qobject_cast<QProgressBar*>(window.Control(IDC_PROGRESS));
  QCOMPARE(bar->maximum(), 2);
  QCOMPARE(bar->value(), 2);
  const auto flash = device.flash();
  QVERIFY(std::equal(image.begin(), image.begin() + 0xC001, flash.begin()));
}

}  // namespace tamblet

QTEST_MAIN(tamblet::WindowLoadTest)
#include "window_load_test.moc"
