#include "instruments/plug_tracker.h"

#include <algorithm>

namespace tamblet {

PlugTracker::Plugged PlugTracker::Plug(int card, const CardIdentity& identity,
                                       const std::string& name, bool instrument, uint64_t* id) {
  // The same card seen again (its nodes' permissions changing) is no new plug-in;
  // one that now is another device lost its unplug on the way.
  if (const auto known = cards_.find(card); known != cards_.end()) {
    if (plugs_.at(known->second).identity == identity) return Plugged::kKnown;
    Unplug(card);
  }
  const uint64_t plug = next_++;
  const State state = instrument ? State::kRunning : State::kIgnored;
  plugs_.emplace(plug, Entry{card, identity, name, state, true});
  cards_[card] = plug;
  if (!instrument) return Plugged::kNoInstrument;
  *id = plug;
  return Plugged::kStart;
}

bool PlugTracker::Unplug(int card) {
  const auto known = cards_.find(card);
  if (known == cards_.end()) return false;
  const auto entry = plugs_.find(known->second);
  cards_.erase(known);
  if (entry->second.state == State::kRunning) {
    entry->second.present = false;
    return true;
  }
  plugs_.erase(entry);
  return false;
}

PlugTracker::Ended PlugTracker::End(uint64_t id, bool complete) {
  Entry& entry = plugs_.at(id);
  if (!entry.present) {
    plugs_.erase(id);
    return Ended::kGone;
  }
  entry.state = State::kDone;
  return complete ? Ended::kLeftAlone : Ended::kUnplugToRetry;
}

std::string PlugTracker::Label(uint64_t id) const {
  const Entry& entry = plugs_.at(id);
  const bool shared = !entry.identity.serial.empty() &&
                      std::any_of(plugs_.begin(), plugs_.end(), [&](const auto& other) {
                        return other.first != id && other.second.present &&
                               other.second.identity.serial == entry.identity.serial &&
                               other.second.identity.path != entry.identity.path;
                      });
  const std::string key =
      entry.identity.key().empty() ? "card " + std::to_string(entry.card) : entry.identity.key();
  return entry.name + " (" + key + (shared ? " at " + entry.identity.path : "") + ")";
}

bool PlugTracker::Present(uint64_t id, int* card) const {
  const auto entry = plugs_.find(id);
  if (entry == plugs_.end() || !entry->second.present) return false;
  *card = entry->second.card;
  return true;
}

size_t PlugTracker::running() const {
  return static_cast<size_t>(std::count_if(plugs_.begin(), plugs_.end(), [](const auto& p) {
    return p.second.state == State::kRunning;
  }));
}

}  // namespace tamblet
