#include "app/port_follow.h"

namespace tamblet {

PortFollower::PortFollower(CUpdateDlg& dlg, std::vector<std::unique_ptr<midi::PortWatch>> watches,
                           OpenLayer open_layer)
    : dlg_(dlg), watches_(std::move(watches)), open_layer_(std::move(open_layer)) {
  for (auto& watch : watches_) watch->Changed();
}

void PortFollower::Tick(bool busy) {
  bool changed = false;
  for (auto& watch : watches_) changed = watch->Changed() || changed;  // each asked every tick
  if (changed) {
    pending_ = true;
    return;
  }
  if (!pending_ || busy) return;
  pending_ = false;
  dlg_.Rediscover(open_layer_());
}

std::unique_ptr<midi::PortWatch> WatchCards(std::unique_ptr<CardSource> cards) {
  class CardChanges final : public midi::PortWatch {
   public:
    explicit CardChanges(std::unique_ptr<CardSource> cards) : cards_(std::move(cards)) {}
    bool Changed() override { return !cards_->Next(0).empty(); }

   private:
    std::unique_ptr<CardSource> cards_;
  };
  return std::make_unique<CardChanges>(std::move(cards));
}

std::unique_ptr<midi::PortWatch> WatchAlsaCards() { return WatchCards(WatchDevSnd()); }

}  // namespace tamblet
