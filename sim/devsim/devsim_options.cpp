#include "sim/devsim/devsim_options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <optional>

#include "sim/request.h"

namespace tamblet::sim {
namespace {

// Decimal, or hexadecimal with 0x.
std::optional<uint32_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

std::string DevsimUsage() {
  return "usage: tamblet-devsim [options]\n"
         "  --model NAME         model name the device reports\n"
         "  --flash-size N       flash bytes (decimal or 0x hex)\n"
         "  --progress-step N    bytes between progress replies of long operations (0: none)\n"
         "  --delay MS           every reply leaves MS milliseconds after its request\n"
         "  --fault RULE         Command:occurrence:fault, e.g. VerifySum:3:no-reply "
         "(repeatable);\n"
         "                       faults: no-reply fail-status wrong-command long-error no-end "
         "late\n"
         "                       delay=MS oversize[=N] long-name[=N] (N at most 8192)\n"
         "  --dump FILE          on exit, write the flash contents to FILE\n"
         "  --name NAME          JACK client name (default \"QELMAR SIM\")\n"
         "  --server NAME        JACK server name (default: JACK_DEFAULT_SERVER or \"default\")\n"
         "  --raw FILE           play on a raw MIDI device file instead of JACK, e.g. the device\n"
         "                       side of a USB MIDI gadget, /dev/snd/midiC1D0\n"
         "  --quiet              print no line per request\n"
         "  -h, --help, --version\n"
         "Options take their value as --opt VALUE or --opt=VALUE; each but --fault once.\n"
         "Ends on SIGTERM, SIGHUP or Ctrl-C, then writes the --dump file. Bad usage exits 2.\n";
}

std::variant<DevsimOptions, std::string> ParseDevsimOptions(
    std::span<const std::string_view> args) {
  DevsimOptions options;
  CLI::App app("tamblet-devsim", "tamblet-devsim");
  app.set_help_flag();  // DevsimUsage() is the help
  app.add_flag("-h,--help", options.help);
  app.add_flag("--version", options.version);
  app.add_flag("--quiet", options.quiet);
  std::optional<std::string> model, name, raw, flash_size, progress_step, delay;
  std::vector<std::string> faults;
  app.add_option("--model", model);
  app.add_option("--name", name);
  app.add_option("--server", options.server_name);
  app.add_option("--raw", raw);
  app.add_option("--dump", options.dump_path);
  app.add_option("--fault", faults);  // repeatable
  app.add_option("--flash-size", flash_size);
  app.add_option("--progress-step", progress_step);
  app.add_option("--delay", delay);
  std::vector<std::string> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.emplace_back(*it);
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return std::string(error.what());
  }
  if (model) options.device.model_name = *model;
  if (name) {
    if (name->empty()) return "--name: empty client name";
    options.client_name = *name;
  }
  if (raw) {
    if (raw->empty()) return "--raw: empty path";
    options.raw_path = *raw;
  }
  for (const std::string& fault : faults) {
    const auto rule = ParseFaultRule(fault);
    if (!rule) return "--fault: cannot use \"" + fault + "\"";
    options.faults.push_back(*rule);
  }
  const std::pair<const char*, const std::optional<std::string>*> numbers[] = {
      {"--flash-size", &flash_size}, {"--progress-step", &progress_step}, {"--delay", &delay}};
  for (const auto& [option, word] : numbers) {
    if (!*word) continue;
    const auto number = ParseNumber(**word);
    if (!number) return std::string(option) + ": not a number: " + **word;
    if (option == numbers[0].first) {
      if (*number == 0) return "--flash-size: must not be 0";
      options.device.flash_size = *number;
    } else if (option == numbers[1].first) {
      options.device.progress_step = *number;
    } else {
      options.device.reply_delay_ms = *number;
    }
  }
  return options;
}

std::string DescribeExchange(std::span<const uint8_t> bytes, const std::vector<Reply>& replies) {
  const Request request = DecodeRequest(bytes);
  std::string line(CommandName(request.command));
  switch (request.command) {
    case Command::kSelectDevice:
      line += " target " + std::to_string(request.target);
      break;
    case Command::kSetRange:
      line += " " + Hex(request.address, 8) + " +" + Hex(request.count, 8);
      break;
    case Command::kVerifySum:
      line += " " + Hex(request.address, 8) + " +" + Hex(request.count, 8) + " sum " +
              Hex(request.sum, 4);
      break;
    case Command::kWriteData:
      line += " " + Hex(request.address, 8) + " +" + std::to_string(request.count);
      break;
    default:
      break;
  }
  line += " (" + std::to_string(bytes.size()) + " bytes)";
  if (request.problem != nullptr) line += std::string(" malformed: ") + request.problem;
  if (replies.empty()) {
    line += " -> no reply";
  } else {
    for (const Reply& reply : replies) {
      line += " -> " + std::to_string(reply.bytes.size()) + " bytes";
      if (reply.kind == Reply::Kind::kLongError) line += " broken";
      if (reply.kind == Reply::Kind::kShortData) line += " short";
      if (reply.delay_ms != 0) line += " after " + std::to_string(reply.delay_ms) + " ms";
    }
  }
  return line;
}

}  // namespace tamblet::sim
