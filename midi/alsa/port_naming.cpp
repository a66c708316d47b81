#include "midi/alsa/port_naming.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tamblet::midi::alsa {
namespace {

void CopyName(std::string_view name, MidiCaps* caps) {
  std::memset(caps->szPname, 0, sizeof(caps->szPname));
  std::memcpy(caps->szPname, name.data(), std::min(name.size(), sizeof(caps->szPname)));
}

}  // namespace

MidiCaps DescribeRawmidiPort(std::string_view card_name, std::string_view device_name,
                             std::string_view subdevice_name, Direction direction,
                             uint32_t number) {
  MidiCaps caps;
  if (card_name.starts_with(kMakerCardPrefix)) {
    const bool output = direction == Direction::kOutput;
    caps.wMid = kMakerMid;
    caps.wPid = output ? kMakerOutputPid : kMakerInputPid;
    std::string name(card_name);
    name += output ? " OUT " : " IN ";
    name += std::to_string(number);
    CopyName(name, &caps);
    return caps;
  }
  if (!subdevice_name.empty()) {
    CopyName(subdevice_name, &caps);
  } else if (!device_name.empty()) {
    CopyName(device_name, &caps);
  } else {
    CopyName(card_name, &caps);
  }
  return caps;
}

}  // namespace tamblet::midi::alsa
