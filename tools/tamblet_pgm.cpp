// tamblet-pgm: looks into update files and writes them.

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "base/status_texts.h"
#include "tools/pgm_commands.h"

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  tamblet-pgm --help | --version\n"
    "  tamblet-pgm inspect FILE\n"
    "  tamblet-pgm write OUT --model NAME --version V --target N --chunk N\n"
    "                    --region ADDR:SIZE [--region ADDR:SIZE]\n"
    "                    (--image RAWFILE | --image-size N [--seed S])\n"
    "                    [--blocks all|used|none] [--force]\n"
    "Numbers are decimal or 0x hexadecimal.\n"
    "inspect exits 0 when the file would pass the file check, 1 when not.\n"
    "write makes a well-formed file; --force writes header values that the file\n"
    "check refuses. A generated image holds seeded pseudo-random bytes inside the\n"
    "regions and 0xFF elsewhere; --blocks used (the default) leaves out blocks\n"
    "that are all 0xFF.\n";

}  // namespace

// An allocation that fails anywhere, for an image of 4 GiB say, ends the tool
// with Load's own words instead of an abort.
int main(int argc, char** argv) try {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "--help" || words[0] == "-h") {
    (words.empty() ? std::cerr : std::cout) << kUsage;
    return words.empty() ? tamblet::pgm::kExitUsage : tamblet::pgm::kExitOk;
  }
  if (words[0] == "--version") {
    std::cout << "tamblet-pgm " TAMBLET_VERSION "\n";
    return tamblet::pgm::kExitOk;
  }
  const std::vector<std::string> args(words.begin() + 1, words.end());
  if (words[0] == "inspect") return tamblet::pgm::Inspect(args, std::cout, std::cerr);
  if (words[0] == "write") return tamblet::pgm::Write(args, std::cout, std::cerr);
  std::cerr << "tamblet-pgm: unknown command '" << words[0] << "'\n" << kUsage;
  return tamblet::pgm::kExitUsage;
} catch (const std::bad_alloc&) {
  std::cerr << "tamblet-pgm: " << tamblet::kOutOfMemoryText << "\n";
  return tamblet::pgm::kExitFailed;
}
