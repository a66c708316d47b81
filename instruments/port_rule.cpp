#include "instruments/port_rule.h"

#include <cstring>
#include <string_view>

namespace tamblet {
namespace {

constexpr size_t kNameSize = sizeof(midi::MidiCaps::szPname);
constexpr std::string_view kOutputWord = "OUT ";
constexpr std::string_view kInputWord = "IN ";

// True when `word` lies whole inside the name at `pos`.
bool NameHas(const char (&name)[kNameSize], size_t pos, std::string_view word) {
  return pos + word.size() <= kNameSize && std::memcmp(name + pos, word.data(), word.size()) == 0;
}

}  // namespace

bool AcceptPort(const midi::MidiCaps& caps, PortDirection direction) {
  const bool output = direction == PortDirection::kOutput;
  if (caps.wMid != kMakerMid) return false;
  if (caps.wPid != (output ? kDeviceOutputPid : kDeviceInputPid)) return false;
  if (!NameHas(caps.szPname, 0, kMakerPrefix)) return false;

  // The model word runs from the prefix to the first space; it may be empty.
  size_t space = kMakerPrefix.size();
  while (space < kNameSize && caps.szPname[space] != ' ') {
    if (caps.szPname[space] == '\0') return false;
    ++space;
  }
  if (space == kNameSize) return false;
  // Only the text after that first space counts; no later space is tried.
  return NameHas(caps.szPname, space + 1, output ? kOutputWord : kInputWord);
}

std::string PortName(const midi::MidiCaps& caps) {
  const char* end = static_cast<const char*>(std::memchr(caps.szPname, '\0', kNameSize));
  return std::string(caps.szPname, end ? end : caps.szPname + kNameSize);
}

}  // namespace tamblet
