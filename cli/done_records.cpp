#include "cli/done_records.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "base/status_texts.h"

namespace tamblet::cli {
namespace {

// A record's text field; anything else (missing, a number) counts as empty.
std::string Text(const nlohmann::json& record, const char* key) {
  const auto field = record.find(key);
  return field != record.end() && field->is_string() ? field->get<std::string>() : "";
}

}  // namespace

std::string RecordKey(const CardIdentity& identity, const std::string& output_port) {
  return identity.key().empty() ? output_port : identity.key();
}

std::set<std::string> CompletedInstruments(const std::string& report, const std::string& sha256) {
  std::map<std::string, bool> last;  // key: did its last update with this file complete
  std::ifstream in(report);
  for (std::string line; std::getline(in, line);) {
    const auto record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || Text(record, "sha256") != sha256) continue;
    const std::string key =
        RecordKey({Text(record, "serial"), Text(record, "usb_path")}, Text(record, "output_port"));
    if (!key.empty()) last[key] = Text(record, "final") == kCompleteText;
  }
  std::set<std::string> done;
  for (const auto& [key, complete] : last)
    if (complete) done.insert(key);
  return done;
}

}  // namespace tamblet::cli
