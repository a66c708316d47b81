#pragma once
// The program's words as options.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamblet::cli {

struct Options {
  enum class Command { kPorts, kUpdate, kWatch };
  Command command = Command::kUpdate;
  bool json = false;
  std::string file;
  std::optional<std::string> report;
  // The instrument to update: a port pair, either port alone, or its number; none: the window's.
  std::optional<std::string> output;
  std::optional<std::string> input;
  std::optional<uint32_t> instrument;
  // The instrument by its serial and/or USB path, as `ports` shows them; for
  // `watch`, which plug-ins to update.
  std::optional<std::string> serial;
  std::optional<std::string> usb_path;
  bool all = false;
  // Leave alone what the report shows done with this file; only tell what would run.
  bool skip_done = false;
  bool dry_run = false;
};

// The status to end with when the words ask for no run (help, version, a
// mistake), with its text for standard output or error.
struct ParseEnd {
  int status;
  std::string out, err;
};

// `args` excludes the program name.
std::optional<ParseEnd> ParseArgs(const std::vector<std::string>& args, Options& options);

}  // namespace tamblet::cli
