#pragma once
// The window's pair kept up to date while the window is open: after ports came
// or went, and once a tick has passed with no more changes (a program makes
// its ports one by one), discovery runs again on a fresh layer. Never while an
// update runs: a change then is looked at once it has ended.

#include <functional>
#include <memory>
#include <vector>

#include "app/update_dlg.h"
#include "instruments/card_watch.h"
#include "midi/port_watch.h"

namespace tamblet {

class PortFollower {
 public:
  static constexpr int kTickMs = 500;
  using OpenLayer = std::function<std::unique_ptr<midi::MidiLayer>()>;

  // Asks each watch once, so that what is there now is no change. Made before
  // the dialog's own discovery, so that nothing between the two is missed.
  PortFollower(CUpdateDlg& dlg, std::vector<std::unique_ptr<midi::PortWatch>> watches,
               OpenLayer open_layer);

  // On the window's thread, every kTickMs; `busy` while an update runs.
  void Tick(bool busy);

 private:
  CUpdateDlg& dlg_;
  std::vector<std::unique_ptr<midi::PortWatch>> watches_;
  OpenLayer open_layer_;
  bool pending_ = false;
};

// Cards that came or went, as a watch: of `cards`, or of this system's ALSA.
std::unique_ptr<midi::PortWatch> WatchCards(std::unique_ptr<CardSource> cards);
std::unique_ptr<midi::PortWatch> WatchAlsaCards();

}  // namespace tamblet
