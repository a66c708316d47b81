#include "app/qt/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "app/qt/update_window.h"

namespace tamblet {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
volatile sig_atomic_t signal_pipe = -1;  // the write end, for the handler

void OnSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  // A full pipe already holds a wake-up: dropping this one loses nothing.
  [[maybe_unused]] const ssize_t written = write(signal_pipe, &byte, 1);
  errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QtUpdateWindow& window) : window_(window) {
  if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;  // no descriptors left: as before
  signal_pipe = pipe_[1];
  notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::OnReadable);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], nullptr, &previous_[i]);
    // A signal ignored when the program started (nohup, say) stays ignored.
    if (previous_[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &action, nullptr);
  }
}

TerminationSignals::~TerminationSignals() {
  if (notifier_ == nullptr) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  signal_pipe = -1;
  delete notifier_;
  close(pipe_[0]);
  close(pipe_[1]);
}

void TerminationSignals::OnReadable() {
  char bytes[16];
  for (ssize_t n; (n = read(pipe_[0], bytes, sizeof bytes)) > 0;) {
    if (first_ == 0) first_ = static_cast<unsigned char>(bytes[0]);
  }
  window_.CloseOnSignal();
}

}  // namespace tamblet
