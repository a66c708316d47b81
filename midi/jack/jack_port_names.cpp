#include "midi/jack/jack_port_names.h"

#include <map>

#include "midi/midi_header.h"

namespace tamblet::midi {

JackEndpoints NameJackPorts(std::span<const JackPortInfo> ports) {
  JackEndpoints result;
  std::map<std::string, uint32_t> receive_count;  // per device client
  std::map<std::string, uint32_t> send_count;
  for (const JackPortInfo& info : ports) {
    JackEndpoint endpoint;
    endpoint.jack_name = info.client + ":" + info.port;
    const bool device = IsDeviceName(info.client);
    if (info.receives) {
      endpoint.caps =
          device ? DeviceCaps(info.client, PortDirection::kOutput, ++receive_count[info.client])
                 : ForeignCaps(endpoint.jack_name);
      result.outputs.push_back(std::move(endpoint));
    } else {
      endpoint.caps =
          device ? DeviceCaps(info.client, PortDirection::kInput, ++send_count[info.client])
                 : ForeignCaps(endpoint.jack_name);
      result.inputs.push_back(std::move(endpoint));
    }
  }
  return result;
}

}  // namespace tamblet::midi
