#include "midi/device_identity.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tamblet::midi {
namespace {

void CopyName(std::string_view name, MidiCaps* caps) {
  std::memset(caps->szPname, 0, sizeof(caps->szPname));
  std::memcpy(caps->szPname, name.data(), std::min(name.size(), sizeof(caps->szPname)));
}

}  // namespace

bool IsDeviceName(std::string_view product, std::string_view long_name) {
  return product.starts_with(kMakerPrefix) || long_name.starts_with(kMakerPrefix);
}

MidiCaps DeviceCaps(std::string_view product, PortDirection direction, uint32_t number) {
  const bool output = direction == PortDirection::kOutput;
  if (product.starts_with(kMakerPrefix)) product.remove_prefix(kMakerPrefix.size());
  const std::string suffix = (output ? " OUT " : " IN ") + std::to_string(number);
  const size_t room = sizeof(MidiCaps::szPname) - 1 - kMakerPrefix.size();
  std::string model(product.substr(0, room > suffix.size() ? room - suffix.size() : 0));
  std::replace(model.begin(), model.end(), ' ', '-');

  MidiCaps caps;
  caps.wMid = kMakerMid;
  caps.wPid = output ? kDeviceOutputPid : kDeviceInputPid;
  CopyName(std::string(kMakerPrefix) + model + suffix, &caps);
  return caps;
}

MidiCaps ForeignCaps(std::string_view name) {
  MidiCaps caps;
  CopyName(name, &caps);
  return caps;
}

}  // namespace tamblet::midi
