#include "instruments/card_identity.h"

#include <fstream>
#include <system_error>

namespace tamblet {
namespace {

// The first line of a sysfs attribute, without its newline; nothing when absent.
std::optional<std::string> Attribute(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

bool IdentityFilter::Matches(const CardIdentity& identity) const {
  if (serial && identity.serial != *serial) return false;
  if (!usb_path) return true;
  const std::string path = identity.usb_path();
  return !path.empty() && (path == *usb_path || path == "usb " + *usb_path);
}

std::string IdentityFilter::Describe() const {
  std::string text = serial ? "serial " + *serial : "";
  if (usb_path) text += (text.empty() ? "" : " at ") + std::string("USB path ") + *usb_path;
  return text;
}

std::optional<CardIdentity> ReadCardIdentity(const std::filesystem::path& sysfs, int card) {
  std::error_code error;
  const auto root = std::filesystem::canonical(sysfs, error);
  if (error) return std::nullopt;
  // class/sound/cardK links to the card under its device, itself under the USB
  // device (the one with busnum and devpath) for a USB card.
  const auto link = root / "class" / "sound" / ("card" + std::to_string(card));
  const auto node = std::filesystem::canonical(link, error);
  if (error) return std::nullopt;
  auto below_root = [&root](const std::filesystem::path& p) {
    const auto relative = p.lexically_relative(root);
    return !relative.empty() && *relative.begin() != "..";
  };
  for (auto dir = node.parent_path(); below_root(dir) && dir != root; dir = dir.parent_path()) {
    const auto bus = Attribute(dir / "busnum");
    const auto devpath = Attribute(dir / "devpath");
    if (bus && devpath) {
      return CardIdentity{Attribute(dir / "serial").value_or(""), "usb " + *bus + "-" + *devpath};
    }
  }
  const auto device = node.parent_path().parent_path();  // past its "sound" folder
  return CardIdentity{"", device.lexically_relative(root).string()};
}

}  // namespace tamblet
