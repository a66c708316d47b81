#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <set>

#include "cli/cli.h"

namespace tamblet::cli {
namespace {

constexpr char kFooter[] =
    "Exit status: 0 Complete!, 1 a device step failed, 2 bad usage or several\n"
    "instruments and none chosen, 3 the update file failed, 4 no instrument or its\n"
    "ports did not open, 130 stopped by Ctrl-C, 143 by SIGTERM.\n"
    "Ctrl-C once warns; a second within 3 s stops every update at its step.\n"
    "SIGTERM stops every update before its next request; SIGHUP is ignored.";

// Where the option's value lands, once it was given.
template <typename T>
void Given(const CLI::Option* option, const T& value, std::optional<T>& into) {
  if (option->count() != 0) into = value;
}

// CLI11 takes the word after an option that needs a value whatever it looks
// like (`--report --help` would write a report named "--help"), and takes a
// flag given twice as once. Both are mistakes said here, before it parses;
// words it does not know are left to it.
std::string CheckWords(const std::vector<std::string>& args, const std::vector<CLI::App*>& apps) {
  std::set<std::string> seen;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--") break;  // only values from here on
    if (!word.starts_with("--")) continue;
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const CLI::Option* option = nullptr;
    for (const CLI::App* app : apps) {
      if ((option = app->get_option_no_throw(name)) != nullptr) break;
    }
    if (option == nullptr) continue;
    if (!seen.insert(name).second) return name + " is given more than once";
    if (equals != std::string::npos || option->get_expected_max() == 0) continue;
    if (i + 1 < args.size() && args[i + 1].starts_with("-"))
      return name + " needs a value, not '" + args[i + 1] +
             "'; a value that begins with '-' is "
             "written " +
             name + "=" + args[i + 1];
  }
  return {};
}

// CLI11 lists the words it did not expect last first; they are said here in
// the order given.
std::string Unexpected(const std::vector<CLI::App*>& apps) {
  for (const CLI::App* app : apps) {
    const std::vector<std::string> words = app->remaining();
    if (words.empty()) continue;
    std::string text = words.size() > 1 ? "The following arguments were not expected:"
                                        : "The following argument was not expected:";
    for (const std::string& word : words) text += " " + word;
    return text;
  }
  return {};
}

ParseEnd UsageError(const std::string& what) {
  return ParseEnd{
      kExitUsage, "",
      "tamblet-cli: " + what + "\nRun 'tamblet-cli --help' or 'tamblet-cli COMMAND --help'.\n"};
}

}  // namespace

std::optional<ParseEnd> ParseArgs(const std::vector<std::string>& args, Options& o) {
  CLI::App app("Runs the firmware update of a QELMAR instrument, as the window's Load does.",
               "tamblet-cli");
  app.set_version_flag("--version", std::string("tamblet-cli ") + TAMBLET_VERSION);
  app.require_subcommand(0, 1);  // none: said below, after an unknown word is named
  app.footer(kFooter);
  app.get_formatter()->label("Usage", "usage");

  CLI::App* ports = app.add_subcommand(
      "ports", "every MIDI port, whether it is an instrument's, and the instruments");
  CLI::App* update = app.add_subcommand(
      "update", "check FILE and update the one instrument, the chosen one, or all");
  CLI::App* watch = app.add_subcommand(
      "watch", "check FILE, then update every instrument once as it is plugged in");
  for (CLI::App* where : {&app, ports, update, watch})  // before or after the command
    where->add_flag("--json", o.json, "one JSON object per line");
  std::string report;
  std::vector<CLI::Option*> report_options;
  for (CLI::App* where : {update, watch}) {
    where->add_option("FILE", o.file, "the update file (*.pgm)")->required()->type_name("");
    report_options.push_back(
        where->add_option("--report", report, "append one JSON line per finished update to REPORT")
            ->type_name("REPORT"));
  }
  std::string output, input;
  uint32_t number = 0;
  CLI::Option* out_option =
      update
          ->add_option("--output", output,
                       "output port, by index or exact name as `ports` shows it")
          ->type_name("PORT");
  CLI::Option* in_option =
      update
          ->add_option("--input", input,
                       "input port, by index or exact name; with --output, of one instrument")
          ->type_name("PORT");
  CLI::Option* number_option =
      update->add_option("--instrument", number, "the instrument numbered N by `ports`")
          ->type_name("N")
          ->excludes(out_option)
          ->excludes(in_option);
  std::string serial, usb_path;
  std::vector<CLI::Option*> serial_options, path_options;
  for (CLI::App* where : {update, watch}) {
    serial_options.push_back(
        where
            ->add_option("--serial", serial,
                         "only the instrument with serial S, as `ports` shows it")
            ->type_name("S"));
    path_options.push_back(
        where
            ->add_option(
                "--usb-path", usb_path,
                "only the instrument at USB path P (\"usb 1-1.2\" or \"1-1.2\"), as `ports` "
                "shows it")
            ->type_name("P"));
  }
  for (CLI::Option* option : {serial_options[0], path_options[0]})
    option->excludes(out_option)->excludes(in_option)->excludes(number_option);
  update->add_flag("--all", o.all, "every instrument at once")
      ->excludes(out_option)
      ->excludes(in_option)
      ->excludes(number_option)
      ->excludes(serial_options[0])
      ->excludes(path_options[0]);
  update->add_flag("--skip-done", o.skip_done,
                   "leave alone each instrument whose last update with FILE in REPORT completed");
  update->add_flag("--dry-run", o.dry_run,
                   "only list what would be updated, opening no port and writing nothing");

  const std::vector<CLI::App*> apps = {&app, ports, update, watch};
  if (const std::string mistake = CheckWords(args, apps); !mistake.empty())
    return UsageError(mistake);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return ParseEnd{kExitComplete, app.help(), ""};
  } catch (const CLI::CallForVersion& version) {
    return ParseEnd{kExitComplete, std::string(version.what()) + "\n", ""};
  } catch (const CLI::ExtrasError& error) {
    const std::string words = Unexpected(apps);
    return UsageError(words.empty() ? error.what() : words);
  } catch (const CLI::ParseError& error) {
    return UsageError(error.what());
  }
  if (!ports->parsed() && !update->parsed() && !watch->parsed())
    return ParseEnd{kExitUsage, "", "tamblet-cli: a command is needed: ports, update or watch\n"};
  // Said here, not by a CLI11 check, whose words would differ.
  if (number_option->count() != 0 && number == 0)
    return ParseEnd{kExitUsage, "", "tamblet-cli: --instrument counts from 1\n"};
  o.command = ports->parsed()   ? Options::Command::kPorts
              : watch->parsed() ? Options::Command::kWatch
                                : Options::Command::kUpdate;
  for (const CLI::Option* option : report_options) Given(option, report, o.report);
  Given(out_option, output, o.output);
  Given(in_option, input, o.input);
  Given(number_option, number, o.instrument);
  for (const CLI::Option* option : serial_options) Given(option, serial, o.serial);
  for (const CLI::Option* option : path_options) Given(option, usb_path, o.usb_path);
  if (o.skip_done && !o.report)
    return ParseEnd{kExitUsage, "", "tamblet-cli: --skip-done needs --report\n"};
  return std::nullopt;
}

}  // namespace tamblet::cli
