#include "midi/alsa/rawmidi_ports.h"

#include <alsa/asoundlib.h>

#include <memory>
#include <string>

namespace tamblet::midi::alsa {
namespace {

struct CtlCloser {
  void operator()(snd_ctl_t* ctl) const { snd_ctl_close(ctl); }
};
using Ctl = std::unique_ptr<snd_ctl_t, CtlCloser>;

std::string OrEmpty(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

// Adds the subdevices of one device in one direction; `numbers` counts the
// card's ports of that direction.
void AddSubdevices(snd_ctl_t* ctl, int card_number, int device, const CardNames& card,
                   snd_rawmidi_stream_t stream, PortDirection direction, uint32_t* numbers,
                   std::vector<RawmidiPort>* out) {
  snd_rawmidi_info_t* info = nullptr;
  snd_rawmidi_info_alloca(&info);
  snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
  snd_rawmidi_info_set_stream(info, stream);
  snd_rawmidi_info_set_subdevice(info, 0);
  if (snd_ctl_rawmidi_info(ctl, info) < 0) {
    return;  // no port of this direction on this device
  }
  const unsigned count = snd_rawmidi_info_get_subdevices_count(info);
  const std::string device_name = OrEmpty(snd_rawmidi_info_get_name(info));
  for (unsigned sub = 0; sub < count; ++sub) {
    snd_rawmidi_info_set_subdevice(info, sub);
    if (snd_ctl_rawmidi_info(ctl, info) < 0) {
      continue;
    }
    RawmidiPort port;
    port.device = "hw:" + std::to_string(card_number) + "," + std::to_string(device) + "," +
                  std::to_string(sub);
    port.address = {card_number, device, static_cast<int>(sub)};
    port.lock = AlsaPortLockName(card_number, device, static_cast<int>(sub), direction);
    port.caps =
        DescribeRawmidiPort(card, device_name, OrEmpty(snd_rawmidi_info_get_subdevice_name(info)),
                            direction, ++*numbers);
    out->push_back(std::move(port));
  }
}

}  // namespace

std::string AlsaPortLockName(int card, int device, int subdevice, PortDirection direction) {
  return "alsa hw:" + std::to_string(card) + "," + std::to_string(device) + "," +
         std::to_string(subdevice) + (direction == PortDirection::kOutput ? " out" : " in");
}

RawmidiPortList EnumerateRawmidiPorts() {
  RawmidiPortList list;
  int card_number = -1;
  while (snd_card_next(&card_number) >= 0 && card_number >= 0) {
    snd_ctl_t* raw_ctl = nullptr;
    if (snd_ctl_open(&raw_ctl, ("hw:" + std::to_string(card_number)).c_str(), 0) < 0) {
      continue;
    }
    Ctl ctl(raw_ctl);
    snd_ctl_card_info_t* card_info = nullptr;
    snd_ctl_card_info_alloca(&card_info);
    if (snd_ctl_card_info(ctl.get(), card_info) < 0) {
      continue;
    }
    const std::string name = OrEmpty(snd_ctl_card_info_get_name(card_info));
    const std::string long_name = OrEmpty(snd_ctl_card_info_get_longname(card_info));
    const CardNames card{name, long_name};
    uint32_t out_numbers = 0;
    uint32_t in_numbers = 0;
    int device = -1;
    while (snd_ctl_rawmidi_next_device(ctl.get(), &device) >= 0 && device >= 0) {
      AddSubdevices(ctl.get(), card_number, device, card, SND_RAWMIDI_STREAM_OUTPUT,
                    PortDirection::kOutput, &out_numbers, &list.outputs);
      AddSubdevices(ctl.get(), card_number, device, card, SND_RAWMIDI_STREAM_INPUT,
                    PortDirection::kInput, &in_numbers, &list.inputs);
    }
  }
  return list;
}

}  // namespace tamblet::midi::alsa
