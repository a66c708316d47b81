// tamblet-pgm: looks into update files and writes them.

#include <CLI/CLI.hpp>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "base/standard_descriptors.h"
#include "base/status_texts.h"
#include "tools/pgm_commands.h"

namespace {

constexpr char kFooter[] =
    "Numbers are decimal or 0x hexadecimal.\n"
    "inspect exits 0 when the file would pass the file check, 1 when not; 2 is bad usage.\n"
    "write makes a well-formed file; --force writes header values that the file\n"
    "check refuses. A generated image holds seeded pseudo-random bytes inside the\n"
    "regions and 0xFF elsewhere; --blocks used (the default) leaves out blocks\n"
    "that are all 0xFF.";

}  // namespace

// An allocation that fails anywhere, for an image of 4 GiB say, ends the tool
// with Load's own words instead of an abort.
int main(int argc, char** argv) try {
  tamblet::OpenClosedStandardDescriptors();
  namespace pgm = tamblet::pgm;
  CLI::App app("Looks into update files and writes them.", "tamblet-pgm");
  app.set_version_flag("--version", "tamblet-pgm " TAMBLET_VERSION);
  app.require_subcommand(0, 1);  // none: said below, after an unknown word is named
  app.footer(kFooter);
  app.get_formatter()->label("Usage", "usage");

  std::string inspect_path;
  CLI::App* inspect = app.add_subcommand("inspect", "header, regions, blocks and Load's verdict");
  inspect->add_option("FILE", inspect_path, "the update file")->required()->type_name("");

  pgm::WriteWords words;
  CLI::App* write = app.add_subcommand("write", "make an update file");
  write->add_option("OUT", words.out_path, "the file to write")->required()->type_name("");
  write->add_option("--model", words.model, "model name, at most 15 characters")->type_name("NAME");
  write->add_option("--version", words.version, "version, at most 4 characters")->type_name("V");
  write->add_option("--target", words.target, "target select byte")->type_name("N");
  write->add_option("--chunk", words.chunk, "chunk size")->type_name("N");
  write->add_option("--region", words.regions, "a used region (once or twice)")
      ->type_name("ADDR:SIZE");
  CLI::Option* image =
      write->add_option("--image", words.image_path, "the image's raw bytes")->type_name("RAWFILE");
  CLI::Option* size =
      write->add_option("--image-size", words.image_size, "a generated image of N bytes")
          ->type_name("N");
  write->add_option("--seed", words.seed, "seed of the generated image")->type_name("S");
  write->add_option("--blocks", words.blocks, "blocks present: all, used (default) or none")
      ->type_name("all|used|none");
  write->add_flag("--force", words.force, "write header values the file check refuses");
  image->excludes(size);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    std::cerr << "tamblet-pgm: " << error.what() << "\nRun 'tamblet-pgm --help'.\n";
    return pgm::kExitUsage;
  }
  if (!inspect->parsed() && !write->parsed()) {
    std::cerr << "tamblet-pgm: a command is needed: inspect or write\n";
    return pgm::kExitUsage;
  }
  if (inspect->parsed()) return pgm::Inspect(inspect_path, std::cout);
  return pgm::Write(words, std::cout, std::cerr);
} catch (const std::bad_alloc&) {
  std::cerr << "tamblet-pgm: " << tamblet::kOutOfMemoryText << "\n";
  return tamblet::pgm::kExitFailed;
}
