#include "sim/fault.h"

#include <array>
#include <charconv>
#include <limits>

namespace tamblet::sim {
namespace {

struct FaultName {
  FaultKind kind;
  std::string_view name;
  bool takes_value;
  bool needs_value;
};

constexpr std::array<FaultName, 9> kFaultNames = {{
    {FaultKind::kNoReply, "no-reply", false, false},
    {FaultKind::kFailStatus, "fail-status", false, false},
    {FaultKind::kWrongCommand, "wrong-command", false, false},
    {FaultKind::kLongError, "long-error", false, false},
    {FaultKind::kOversize, "oversize", true, false},
    {FaultKind::kNoEnd, "no-end", false, false},
    {FaultKind::kLongName, "long-name", true, false},
    {FaultKind::kDelay, "delay", true, true},
    {FaultKind::kLate, "late", false, false},
}};

std::optional<uint32_t> ParseNumber(std::string_view text) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

bool IsValidFault(Command command, int occurrence, const Fault& fault) {
  if (command == Command::kUnknown || occurrence < 1) return false;
  if ((fault.kind == FaultKind::kOversize || fault.kind == FaultKind::kLongName) &&
      fault.value > kMaxFaultLength) {
    return false;
  }
  // Only GetModelName reports a name.
  return fault.kind != FaultKind::kLongName || command == Command::kGetModelName;
}

std::optional<FaultRule> ParseFaultRule(std::string_view text) {
  const size_t first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;

  FaultRule rule;
  auto command = CommandFromName(text.substr(0, first));
  if (!command) return std::nullopt;
  rule.command = *command;

  auto occurrence = ParseNumber(text.substr(first + 1, second - first - 1));
  if (!occurrence || *occurrence > static_cast<uint32_t>(std::numeric_limits<int>::max())) {
    return std::nullopt;
  }
  rule.occurrence = static_cast<int>(*occurrence);

  std::string_view fault = text.substr(second + 1);
  std::string_view value_text;
  const size_t equals = fault.find('=');
  const bool has_value = equals != std::string_view::npos;
  if (has_value) {
    value_text = fault.substr(equals + 1);
    fault = fault.substr(0, equals);
  }
  const FaultName* found = nullptr;
  for (const auto& entry : kFaultNames) {
    if (entry.name == fault) found = &entry;
  }
  if (!found || (has_value && !found->takes_value) || (found->needs_value && !has_value)) {
    return std::nullopt;
  }
  rule.fault.kind = found->kind;
  if (has_value) {
    auto value = ParseNumber(value_text);
    if (!value) return std::nullopt;
    rule.fault.value = *value;
  }
  if (!IsValidFault(rule.command, rule.occurrence, rule.fault)) return std::nullopt;
  return rule;
}

std::string FormatFaultRule(const FaultRule& rule) {
  std::string text(CommandName(rule.command));
  text += ':';
  text += std::to_string(rule.occurrence);
  text += ':';
  for (const auto& entry : kFaultNames) {
    if (entry.kind != rule.fault.kind) continue;
    text += entry.name;
    if (entry.needs_value || (entry.takes_value && rule.fault.value != 0)) {
      text += '=';
      text += std::to_string(rule.fault.value);
    }
  }
  return text;
}

}  // namespace tamblet::sim
