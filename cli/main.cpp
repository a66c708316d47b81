// tamblet-cli: the window's update from a terminal or a script.

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/sleep_inhibitor.h"
#include "cli/cli.h"
#include "midi/system/system_midi.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);

  // Blocked before any thread exists, so that only the watcher below sees them.
  // A hang-up (an SSH session dropped) must not cut an update: ignored.
  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);

  // The login manager is asked over D-Bus, whose answers need an event loop:
  // the main thread runs it, the commands run on a thread of their own.
  int qt_argc = 1;
  char* qt_argv[] = {argv[0], nullptr};
  QCoreApplication app(qt_argc, qt_argv);
  tamblet::SleepInhibitor inhibitor;

  const std::unique_ptr<tamblet::midi::MidiLayer> midi = tamblet::midi::CreateSystemMidiLayer();
  tamblet::cli::Cli cli(
      {*midi, tamblet::RealTimeWaits(), STDOUT_FILENO, STDERR_FILENO, isatty(STDOUT_FILENO) == 1,
       tamblet::midi::CreateSystemMidiLayer, [&inhibitor](bool on) {
         QMetaObject::invokeMethod(
             &inhibitor, [&inhibitor, on] { on ? inhibitor.Acquire() : inhibitor.Release(); },
             Qt::QueuedConnection);
       }});

  std::thread watcher([&cli, &interrupts] {
    int signal_number = 0;
    for (;;) {
      if (sigwait(&interrupts, &signal_number) != 0) continue;
      if (cli.Interrupt()) _exit(tamblet::cli::kExitStopped);
    }
  });
  watcher.detach();  // ends with the process

  int status = 0;
  std::thread worker([&] {
    status = cli.Run(args);
    QMetaObject::invokeMethod(
        &app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  app.exec();
  worker.join();
  return status;
}
