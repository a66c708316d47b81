#pragma once
// SIGTERM, SIGHUP and SIGINT (a logout, `kill`, Ctrl-C in the terminal that
// started the window) end the window as a confirmed close does: a running
// update stops at its next exchange with the device, never inside a frame,
// and its ports close before the program ends. The handler only writes the
// signal's number to a pipe; the window's thread does the rest.

#include <QObject>
#include <csignal>

class QSocketNotifier;

namespace tamblet {

class QtUpdateWindow;

class TerminationSignals : public QObject {
  Q_OBJECT
 public:
  // One at a time in a program.
  explicit TerminationSignals(QtUpdateWindow& window);
  ~TerminationSignals() override;  // the signals' former handling comes back

  // A signal has come: a window not yet shown is not to be shown.
  bool received() const { return first_ != 0; }
  // 128 plus the first signal's number, as a shell reports a program the
  // signal ended, so that a service manager can tell a stop from an end; 0
  // when none came.
  int exit_status() const { return first_ == 0 ? 0 : 128 + first_; }

 private:
  void OnReadable();

  QtUpdateWindow& window_;
  int pipe_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;
  struct sigaction previous_[3] = {};
  int first_ = 0;  // the first signal's number
};

}  // namespace tamblet
