#include "midi/jack/jack_port_names.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

namespace tamblet::midi {
namespace {

constexpr std::string_view kDevicePrefix = "QELMAR ";

MidiCaps MakeCaps(uint16_t mid, uint16_t pid, std::string_view name) {
  MidiCaps caps;
  caps.wMid = mid;
  caps.wPid = pid;
  // szPname holds 32 bytes and needs no terminating NUL when full.
  std::memcpy(caps.szPname, name.data(), std::min(name.size(), sizeof caps.szPname));
  return caps;
}

}  // namespace

JackEndpoints NameJackPorts(std::span<const JackPortInfo> ports) {
  JackEndpoints result;
  std::map<std::string, int> receive_count;  // per device client
  std::map<std::string, int> send_count;
  for (const JackPortInfo& info : ports) {
    JackEndpoint endpoint;
    endpoint.jack_name = info.client + ":" + info.port;
    const bool device = info.client.starts_with(kDevicePrefix);
    if (info.receives) {
      endpoint.caps =
          device ? MakeCaps(kDeviceMid, kDeviceOutPid,
                            info.client + " OUT " + std::to_string(++receive_count[info.client]))
                 : MakeCaps(0, 0, endpoint.jack_name);
      result.outputs.push_back(std::move(endpoint));
    } else {
      endpoint.caps =
          device ? MakeCaps(kDeviceMid, kDeviceInPid,
                            info.client + " IN " + std::to_string(++send_count[info.client]))
                 : MakeCaps(0, 0, endpoint.jack_name);
      result.inputs.push_back(std::move(endpoint));
    }
  }
  return result;
}

}  // namespace tamblet::midi
