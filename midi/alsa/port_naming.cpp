#include "midi/alsa/port_naming.h"

namespace tamblet::midi::alsa {

MidiCaps DescribeRawmidiPort(const CardNames& card, std::string_view device_name,
                             std::string_view subdevice_name, PortDirection direction,
                             uint32_t number) {
  if (IsDeviceName(card.name, card.long_name)) return DeviceCaps(card.name, direction, number);
  if (!subdevice_name.empty()) return ForeignCaps(subdevice_name);
  if (!device_name.empty()) return ForeignCaps(device_name);
  return ForeignCaps(card.name);
}

}  // namespace tamblet::midi::alsa
