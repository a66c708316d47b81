#pragma once
// ALSA cards as they come and go. Each card's nodes appear in /dev/snd
// (made by devtmpfs, then given their group by udev where it runs), and its
// control node last, once the card is whole; inotify on /dev/snd sees both,
// with no udev daemon (a virtual machine, a container) and with one (a
// desktop, where the node's permissions change a moment later). The sequencer's
// announce port would need the sequencer modules and tells of clients, not
// cards; udev's monitor sees nothing where no udev daemon runs.

#include <memory>
#include <string>
#include <vector>

namespace tamblet {

struct CardEvent {
  bool added;  // else removed
  int card;
  bool operator==(const CardEvent&) const = default;
};

class CardSource {
 public:
  virtual ~CardSource() = default;
  // What changed, waiting at most `timeout_ms` for it, in card order; the first
  // call reports the cards already there.
  virtual std::vector<CardEvent> Next(int timeout_ms) = 0;
};

// A card is added once its control node and MIDI nodes can be opened for
// reading and writing, and removed when its control node goes.
std::unique_ptr<CardSource> WatchDevSnd(const std::string& dev_snd = "/dev/snd");

// The card number of a node name ("controlC3", "midiC3D0"); -1 for others.
int CardOfNode(const std::string& name, bool* control);

}  // namespace tamblet
