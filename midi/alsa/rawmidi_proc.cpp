#include "midi/alsa/rawmidi_proc.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

#include "midi/process_holder.h"

namespace tamblet::midi::alsa {
namespace {

std::optional<uint32_t> ParseNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

std::optional<SubstreamState> ParseRawmidiProc(std::string_view text, PortDirection direction,
                                               uint32_t subdevice) {
  const std::string_view heading = direction == PortDirection::kOutput ? "Output " : "Input ";
  std::optional<SubstreamState> found;
  bool inside = false;
  bool past_name = false;  // the first line is the device's name, which may read like anything
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!past_name) {
      past_name = line.empty();
      continue;
    }
    if (!line.empty() && line.front() != ' ') {  // a new substream's heading
      inside = line.starts_with(heading) && ParseNumber(line.substr(heading.size())) == subdevice &&
               line.find_first_not_of("0123456789", heading.size()) == std::string_view::npos;
      if (inside) found.emplace();
      continue;
    }
    const size_t colon = line.find(':');
    if (!inside || colon == std::string_view::npos) continue;
    std::string_view key = line.substr(0, colon);
    while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    const std::optional<uint32_t> value = ParseNumber(line.substr(colon + 1));
    if (key == "Owner PID") found->owner_pid = value;
    if (key == "Buffer size") found->buffer_size = value;
    if (key == "Avail") found->avail = value;
  }
  return found;
}

std::optional<SubstreamState> ReadRawmidiState(const RawmidiAddress& address,
                                               PortDirection direction) {
  const auto text = ReadText("/proc/asound/card" + std::to_string(address.card) + "/midi" +
                             std::to_string(address.device));
  if (!text) return std::nullopt;
  return ParseRawmidiProc(*text, direction, static_cast<uint32_t>(address.subdevice));
}

std::optional<PortHolder> FindRawmidiHolder(const RawmidiAddress& address,
                                            PortDirection direction) {
  const auto state = ReadRawmidiState(address, direction);
  // A holder of 0 is the kernel itself; a process that has gone cannot be named.
  if (!state || !state->owner_pid) return std::nullopt;
  return ProcessHolder(*state->owner_pid);
}

}  // namespace tamblet::midi::alsa
