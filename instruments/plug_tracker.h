#pragma once
// Once per plug-in: a card that comes with an instrument's ports is updated
// once; after its update ends it is left alone until its card goes. Plugged
// in again (under any card number) it is a new plug-in. A card without an
// instrument's ports is remembered, so that it is not looked at again.

#include <cstdint>
#include <map>
#include <string>

#include "instruments/card_identity.h"

namespace tamblet {

class PlugTracker {
 public:
  enum class Plugged { kStart, kNoInstrument, kKnown };
  enum class Ended { kLeftAlone, kUnplugToRetry, kGone };

  // Card `card` is there. kStart hands out the plug-in's id.
  Plugged Plug(int card, const CardIdentity& identity, const std::string& name, bool instrument,
               uint64_t* id);
  // Card `card` went. True when its update still runs: it ends on its own.
  bool Unplug(int card);
  // The update of plug-in `id` ended: left alone while its card stays.
  Ended End(uint64_t id, bool complete);

  // "QELMAR SIM (SER1)"; with the path too where another instrument
  // plugged in now has the same serial; "QELMAR SIM (card 3)" when nothing
  // else is known of it.
  std::string Label(uint64_t id) const;
  const CardIdentity& identity(uint64_t id) const { return plugs_.at(id).identity; }
  // Plug-in `id` is still plugged in, on card `*card`.
  bool Present(uint64_t id, int* card) const;
  size_t running() const;

 private:
  enum class State { kRunning, kDone, kIgnored };
  struct Entry {
    int card;
    CardIdentity identity;
    std::string name;
    State state;
    bool present;
  };
  std::map<uint64_t, Entry> plugs_;  // present, or still running
  std::map<int, uint64_t> cards_;    // present cards and their plug-in
  uint64_t next_ = 1;
};

}  // namespace tamblet
