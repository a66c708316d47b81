// tamblet-pgm write: makes an update file from header values and an image.

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <ostream>
#include <span>

#include "tools/pgm_commands.h"
#include "update/file_reader.h"
#include "update/update_writer.h"

namespace tamblet::pgm {
namespace {

// Decimal or 0x hexadecimal, the whole word, nothing above `max`.
std::optional<uint64_t> ParseNumber(const std::string& word, uint64_t max) {
  int base = 10;
  std::string_view digits = word;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value, base);
  if (digits.empty() || error != std::errc() || stop != end || value > max) return std::nullopt;
  return value;
}

struct WriteOptions {
  std::string out_path;
  std::optional<std::string> model, version, image_path;
  std::optional<uint64_t> target, chunk, image_size;
  uint64_t seed = 0;
  std::vector<Region> regions;
  BlockChoice blocks = BlockChoice::kNotBlank;
  bool force = false;
};

// Seeded pseudo-random bytes inside the used regions, 0xFF elsewhere, so that
// "--blocks used" leaves out the blocks no region touches.
std::vector<uint8_t> GenerateImage(uint32_t size, uint64_t seed,
                                   const std::vector<Region>& regions) {
  std::vector<uint8_t> image(size, 0xFF);
  uint64_t state = seed;
  for (size_t i = 0; i < size; i += 8) {
    // splitmix64: every seed gives a good stream, and it is the same everywhere.
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (size_t k = 0; k < 8 && i + k < size; ++k) {
      const uint64_t address = i + k;
      for (const Region& r : regions) {
        if (address >= r.address && address < uint64_t{r.address} + r.size) {
          image[address] = static_cast<uint8_t>(z >> (8 * k));
        }
      }
    }
  }
  return image;
}

// Fills `options` from the words; on a mistake says what is wrong on `err`.
bool ParseWriteOptions(const WriteWords& words, WriteOptions& options, std::ostream& err) {
  options.out_path = words.out_path;
  options.model = words.model;
  options.version = words.version;
  options.image_path = words.image_path;
  options.force = words.force;
  const auto number = [&](const char* option, const std::optional<std::string>& word, uint64_t max,
                          std::optional<uint64_t>& field) {
    if (!word) return true;
    field = ParseNumber(*word, max);
    if (!field)
      err << "tamblet-pgm write: " << option << " " << *word << ": not a number up to " << max
          << "\n";
    return field.has_value();
  };
  std::optional<uint64_t> seed;
  if (!number("--target", words.target, 0xFF, options.target) ||
      !number("--chunk", words.chunk, 0xFFFFFFFF, options.chunk) ||
      !number("--image-size", words.image_size, 0xFFFFFFFF, options.image_size) ||
      !number("--seed", words.seed, UINT64_MAX, seed))
    return false;
  options.seed = seed.value_or(0);
  for (const std::string& value : words.regions) {
    const size_t colon = value.find(':');
    const auto address =
        ParseNumber(value.substr(0, colon == std::string::npos ? 0 : colon), 0xFFFFFFFF);
    const auto size = colon == std::string::npos ? std::nullopt
                                                 : ParseNumber(value.substr(colon + 1), 0xFFFFFFFF);
    if (!address || !size) {
      err << "tamblet-pgm write: --region " << value << ": expected ADDR:SIZE, 32-bit numbers\n";
      return false;
    }
    options.regions.push_back({static_cast<uint32_t>(*address), static_cast<uint32_t>(*size)});
  }
  if (words.blocks) {
    const std::string& value = *words.blocks;
    if (value == "all") {
      options.blocks = BlockChoice::kAll;
    } else if (value == "used") {
      options.blocks = BlockChoice::kNotBlank;
    } else if (value == "none") {
      options.blocks = BlockChoice::kNone;
    } else {
      err << "tamblet-pgm write: --blocks " << value << ": expected all, used or none\n";
      return false;
    }
  }
  return true;
}

// Whether the options make a header; with `force` unset, also one the file check accepts.
bool CheckWriteOptions(const WriteOptions& o, std::ostream& err) {
  const auto missing = [&](const char* option) {
    err << "tamblet-pgm write: " << option << " is required\n";
    return false;
  };
  if (!o.model) return missing("--model");
  if (!o.version) return missing("--version");
  if (!o.target) return missing("--target");
  if (!o.chunk) return missing("--chunk");
  if (o.regions.empty()) return missing("--region");
  if (o.regions.size() > 2) {
    err << "tamblet-pgm write: at most two regions\n";
    return false;
  }
  if (o.image_path.has_value() == o.image_size.has_value()) {
    err << "tamblet-pgm write: give either --image or --image-size\n";
    return false;
  }
  if (o.model->size() > 15) {
    err << "tamblet-pgm write: --model holds at most 15 characters\n";
    return false;
  }
  if (o.version->size() > 4) {
    err << "tamblet-pgm write: --version holds at most 4 characters\n";
    return false;
  }
  if (o.force) return true;
  if (*o.target >= 0x80) {
    err << "tamblet-pgm write: --target must be below 0x80 (use --force to write it anyway)\n";
    return false;
  }
  if (*o.chunk == 0) {
    err << "tamblet-pgm write: --chunk must be at least 1 (use --force to write it anyway)\n";
    return false;
  }
  return true;
}

}  // namespace

int Write(const WriteWords& words, std::ostream& out, std::ostream& err) {
  WriteOptions options;
  if (!ParseWriteOptions(words, options, err) || !CheckWriteOptions(options, err)) {
    return kExitUsage;
  }
  UpdateHeader header;
  std::memcpy(header.model_name, options.model->data(), options.model->size());
  std::memcpy(header.version, options.version->data(), options.version->size());
  header.target_select = static_cast<uint8_t>(*options.target);
  header.chunk_size = static_cast<uint32_t>(*options.chunk);
  for (size_t r = 0; r < options.regions.size(); ++r) header.regions[r] = options.regions[r];

  FileBytes raw;
  std::vector<uint8_t> generated;
  std::span<const uint8_t> image;
  if (options.image_path) {
    uint64_t length = 0;
    const ReadStatus read = ReadWholeFile(*options.image_path, raw, length);
    if (read != ReadStatus::kOk) {
      err << "tamblet-pgm write: --image " << *options.image_path << ": " << ReadFailureText(read)
          << "\n";
      return kExitFailed;
    }
    if (raw.length > 0xFFFFFFFF) {
      err << "tamblet-pgm write: " << *options.image_path << " is larger than 4 GiB\n";
      return kExitUsage;
    }
    image = std::span<const uint8_t>(raw.data.get(), raw.length);
  } else {
    generated =
        GenerateImage(static_cast<uint32_t>(*options.image_size), options.seed, options.regions);
    image = generated;
  }
  header.image_size = static_cast<uint32_t>(image.size());
  for (size_t r = 0; r < 2 && !options.force; ++r) {
    const Region& region = header.regions[r];
    if (region.size != 0 && uint64_t{region.address} + region.size > header.image_size) {
      err << "tamblet-pgm write: region " << r << " does not lie inside the " << header.image_size
          << "-byte image (use --force to write it anyway)\n";
      return kExitUsage;
    }
  }

  const std::vector<uint8_t> map = ChooseBlocks(header.image_size, image, options.blocks);
  const std::vector<uint8_t> file = WriteUpdateFile(header, image, map);
  if (!WriteWholeFile(options.out_path, file, err)) return kExitFailed;
  const size_t present = map.size() - static_cast<size_t>(std::count(map.begin(), map.end(), 0));
  out << "wrote " << options.out_path << ": " << file.size() << " bytes, " << present << " of "
      << map.size() << " blocks present\n";
  return kExitOk;
}

}  // namespace tamblet::pgm
