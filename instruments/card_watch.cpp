#include "instruments/card_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <set>

namespace tamblet {

int CardOfNode(const std::string& name, bool* control) {
  std::string_view rest;
  for (const std::string_view prefix : {"controlC", "midiC"}) {
    if (name.starts_with(prefix)) {
      *control = prefix == "controlC";
      rest = std::string_view(name).substr(prefix.size());
    }
  }
  int card = -1;
  const auto parsed = std::from_chars(rest.data(), rest.data() + rest.size(), card);
  if (rest.empty() || parsed.ec != std::errc()) return -1;
  const bool at_end = parsed.ptr == rest.data() + rest.size();
  if (*control ? !at_end : at_end || *parsed.ptr != 'D') return -1;
  return card;
}

namespace {

class DevSndWatch final : public CardSource {
 public:
  explicit DevSndWatch(std::string dev_snd)
      : dir_(std::move(dev_snd)),
        parent_(std::filesystem::path(dir_).parent_path().string()),
        fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) parent_watch_ = inotify_add_watch(fd_, parent_.c_str(), IN_CREATE | IN_ONLYDIR);
  }
  ~DevSndWatch() override {
    if (fd_ >= 0) close(fd_);
  }

  std::vector<CardEvent> Next(int timeout_ms) override {
    std::vector<CardEvent> events;
    if (dir_watch_ < 0) Rescan(events);  // at the start, and after /dev/snd came back
    if (!events.empty() || fd_ < 0) return events;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return events;
    alignas(inotify_event) char buffer[4096];
    bool rescan = false;
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) rescan = true;
        if (event->wd != dir_watch_ || event->len == 0) {
          if (event->wd == parent_watch_) rescan = true;  // /dev/snd itself may be new
          continue;
        }
        bool control = false;
        const int card = CardOfNode(event->name, &control);
        if (card < 0) continue;
        if (control && (event->mask & (IN_DELETE | IN_MOVED_FROM))) {
          if (known_.erase(card) != 0) events.push_back({false, card});
        } else if (!known_.contains(card) && Ready(card)) {
          known_.insert(card);
          events.push_back({true, card});
        }
      }
    }
    if (rescan) {
      if (dir_watch_ >= 0) inotify_rm_watch(fd_, dir_watch_);
      dir_watch_ = -1;
      Rescan(events);
    }
    // Nodes are deleted in the file system's own order (a tmpfs lists the
    // newest first): cards that went or came together are told in card order,
    // as `ports` lists them, each card's events kept in the order they came.
    std::stable_sort(events.begin(), events.end(),
                     [](const CardEvent& a, const CardEvent& b) { return a.card < b.card; });
    return events;
  }

 private:
  // Every node of the card can be opened as the update will open it.
  bool Ready(int card) const {
    const std::string control = dir_ + "/controlC" + std::to_string(card);
    if (access(control.c_str(), R_OK | W_OK) != 0) return false;
    std::error_code error;
    for (const auto& node : std::filesystem::directory_iterator(dir_, error)) {
      bool is_control = false;
      if (CardOfNode(node.path().filename().string(), &is_control) == card &&
          access(node.path().c_str(), R_OK | W_OK) != 0)
        return false;
    }
    return true;
  }

  // The cards there now against those known: after a start, or a lost event.
  void Rescan(std::vector<CardEvent>& events) {
    if (fd_ >= 0 && dir_watch_ < 0) {
      dir_watch_ = inotify_add_watch(fd_, dir_.c_str(),
                                     IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO |
                                         IN_MOVED_FROM | IN_DELETE_SELF | IN_ONLYDIR);
    }
    std::set<int> present;
    std::error_code error;
    for (const auto& node : std::filesystem::directory_iterator(dir_, error)) {
      bool control = false;
      const int card = CardOfNode(node.path().filename().string(), &control);
      if (card >= 0 && control) present.insert(card);
    }
    for (auto it = known_.begin(); it != known_.end();) {
      if (present.contains(*it)) {
        ++it;
      } else {
        events.push_back({false, *it});
        it = known_.erase(it);
      }
    }
    for (const int card : present) {
      if (!known_.contains(card) && Ready(card)) {
        known_.insert(card);
        events.push_back({true, card});
      }
    }
  }

  const std::string dir_;
  const std::string parent_;
  const int fd_;
  int parent_watch_ = -1;
  int dir_watch_ = -1;
  std::set<int> known_;
};

}  // namespace

std::unique_ptr<CardSource> WatchDevSnd(const std::string& dev_snd) {
  return std::make_unique<DevSndWatch>(dev_snd);
}

}  // namespace tamblet
