#pragma once
// Which instrument an ALSA card is, read from sysfs: its USB serial number
// when it has one, and always its USB path (bus and port chain), which tells
// apart instruments that share a serial or have none. Takes the sysfs root so
// that tests read a tree of their own.

#include <filesystem>
#include <optional>
#include <string>

namespace tamblet {

struct CardIdentity {
  std::string serial;  // empty: the device has none
  std::string path;    // "usb 1-1.2"; for a card not on USB its sysfs device path
  // What tells it apart: the serial where there is one.
  const std::string& key() const { return serial.empty() ? path : serial; }
  // The path when it is a USB one; empty for a card not on USB.
  std::string usb_path() const { return path.starts_with("usb ") ? path : std::string(); }
  bool operator==(const CardIdentity&) const = default;
};

// An instrument asked for by what `ports` shows of it: its serial, its USB
// path ("usb 1-1.2", also without the "usb "), or both.
struct IdentityFilter {
  std::optional<std::string> serial;
  std::optional<std::string> usb_path;
  bool any() const { return serial || usb_path; }
  bool Matches(const CardIdentity& identity) const;
  // "serial S", "USB path P" or both, for messages.
  std::string Describe() const;
};

// Nothing when the card is not in sysfs (it went away).
std::optional<CardIdentity> ReadCardIdentity(const std::filesystem::path& sysfs, int card);

}  // namespace tamblet
