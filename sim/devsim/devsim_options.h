#pragma once
// Command line of tamblet-devsim, and the one line it prints per request.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/device.h"
#include "sim/fault.h"
#include "sim/reply.h"

namespace tamblet::sim {

inline constexpr char kDefaultDevsimClient[] = "QELMAR SIM";

struct DevsimOptions {
  std::string client_name = kDefaultDevsimClient;
  std::string server_name;  // empty: JACK's default server
  std::string raw_path;     // non-empty: play on this raw MIDI device instead of JACK
  DeviceConfig device;
  std::vector<FaultRule> faults;
  std::string dump_path;  // empty: no dump
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// The options, or the text of what is wrong with them. `args` excludes the
// program name.
std::variant<DevsimOptions, std::string> ParseDevsimOptions(std::span<const std::string_view> args);
std::string DevsimUsage();

// One line describing a request and what the device answers to it.
std::string DescribeExchange(std::span<const uint8_t> request, const std::vector<Reply>& replies);

}  // namespace tamblet::sim
