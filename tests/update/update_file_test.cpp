#include "update/update_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "update/update_writer.h"

namespace tamblet {
namespace {

using Bytes = std::vector<uint8_t>;

UpdateHeader MakeHeader(uint32_t image_size) {
  return {"QX-7", {'1', '.', '0', '1'}, 0x01, 4096, image_size, {{0, image_size}, {}}};
}

// Bytes that differ from block to block and are never all 0xFF.
Bytes PatternImage(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 4093);
  return image;
}

// What the image must hold: the source's blocks that `map` marks, 0xFF elsewhere.
Bytes Expected(const Bytes& source, const Bytes& map) {
  Bytes image(source.size(), 0xFF);
  for (size_t i = 0, at = 0; i < map.size(); ++i, at += kBlockSize)
    if (map[i] != 0) std::copy_n(source.begin() + at, kBlockSize, image.begin() + at);
  return image;
}

// Region 0's bytes; MakeHeader's region 0 is the whole image.
Bytes ImageOf(const FileStageResult& r) {
  const uint8_t* bytes = r.image.regions[0].get();
  return bytes ? Bytes(bytes, bytes + r.header.regions[0].size) : Bytes{};
}

TEST(UpdateFile, BlockMap010LaysOutAs8326Bytes) {
  const Bytes source = PatternImage(12288);
  Bytes file = WriteUpdateFile(MakeHeader(12288), source, Bytes{0x01, 0x00, 0x01});
  ASSERT_EQ(file.size(), 8326u);
  EXPECT_TRUE(std::equal(file.begin() + 131, file.begin() + 4227, source.begin()));
  EXPECT_TRUE(std::equal(file.begin() + 4227, file.begin() + 8323, source.begin() + 8192));
  // Big-endian chunk_size, image_size and region 0 at offsets 104-119; target_select at 80.
  EXPECT_EQ(Bytes(file.begin() + 104, file.begin() + 120),
            (Bytes{0, 0, 0x10, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0, 0x30, 0}));
  EXPECT_EQ(file[80], 0x01);
  file[8324] ^= 0x5A;  // block 1's entry is never examined

  const FileStageResult result = CheckAndAssemble(file);
  ASSERT_EQ(result.failure, nullptr);
  EXPECT_EQ(ImageOf(result), Expected(source, {1, 0, 1}));
  EXPECT_EQ(EncodeHeader(result.header), EncodeHeader(MakeHeader(12288)));

  // Regions that start and end inside blocks and overlap hold their slices.
  UpdateHeader split = MakeHeader(12288);
  split.regions[0] = {100, 8000};
  split.regions[1] = {4000, 8288};
  const FileStageResult r = CheckAndAssemble(WriteUpdateFile(split, source, Bytes{1, 0, 1}));
  ASSERT_EQ(r.failure, nullptr);
  const Bytes whole = Expected(source, {1, 0, 1});
  for (size_t i = 0; i < 2; ++i) {
    const Region& region = split.regions[i];
    EXPECT_EQ(Bytes(r.image.regions[i].get(), r.image.regions[i].get() + region.size),
              Bytes(whole.begin() + region.address, whole.begin() + region.address + region.size));
  }
}

// The table entry is set by hand, so the writer's own arithmetic is not trusted.
TEST(UpdateFile, OnlyTheOnesComplementOfTheSumPasses) {
  Bytes one_then_zeros(kBlockSize, 0x00);
  one_then_zeros[0] = 0x01;
  const std::pair<Bytes, uint8_t> cases[] = {
      {Bytes(kBlockSize, 0x00), 0xFF}, {Bytes(kBlockSize, 0xFF), 0xFF}, {one_then_zeros, 0xFE}};
  for (const auto& [block, checksum] : cases) {
    Bytes file = WriteUpdateFile(MakeHeader(4096), block, BlockChoice::kAll);
    for (uint8_t entry : {checksum, uint8_t(checksum ^ 0x01), uint8_t(checksum ^ 0x80)}) {
      file.back() = entry;
      EXPECT_EQ(CheckAndAssemble(file).failure == nullptr, entry == checksum) << int{entry};
    }
  }
}

// Header values at and just past the limits the file stage enforces.
TEST(UpdateFile, HeaderLimits) {
  const struct {
    const char* name;
    uint32_t chunk;
    uint8_t target;
    Region r0, r1;
    bool ok;
  } cases[] = {
      {"target 0x7F", 4096, 0x7F, {0, 8192}, {}, true},
      {"region ends at the image end", 4096, 0x01, {0, 8192}, {4096, 4096}, true},
      {"unused region anywhere", 4096, 0x01, {0, 8192}, {0xFFFFFFFF, 0}, true},
      {"chunk_size 0", 0, 0x01, {0, 8192}, {}, false},
      {"target 0x80", 4096, 0x80, {0, 8192}, {}, false},
      {"region past the image end", 4096, 0x01, {4096, 4097}, {}, false},
      {"second region past the end", 4096, 0x01, {0, 8192}, {8192, 1}, false},
      {"region wrapping in 32 bits", 4096, 0x01, {0xFFFFF000, 0x2000}, {}, false},
  };
  for (const auto& c : cases) {
    const UpdateHeader header{"QX-7", {}, c.target, c.chunk, 8192, {c.r0, c.r1}};
    const auto r = CheckAndAssemble(WriteUpdateFile(header, PatternImage(8192), BlockChoice::kAll));
    EXPECT_EQ(r.failure, c.ok ? nullptr : kFileFormatErrorText) << c.name;
    EXPECT_EQ(r.progress, c.ok ? 2u : 1u) << c.name;
    // A refused header is refused before any image is made.
    EXPECT_EQ(r.image.regions[0] != nullptr, c.ok) << c.name;
  }
}

TEST(UpdateFile, Layouts) {
  const struct {
    const char* name;
    uint32_t image_size;
    Bytes map;
    void (*edit)(Bytes&);  // applied to the written file
    bool ok;
  } cases[] = {
      {"all-zero map, table ignored", 8192, {0, 0}, [](Bytes& f) { f.back() = 0x34; }, true},
      {"any non-zero map byte", 12288, {0x80, 0x00, 0xFF}, nullptr, true},
      {"image_size below one block", 4095, {}, nullptr, true},
      {"image_size 10000, tail 0xFF", 10000, {1, 1}, nullptr, true},
      // 777 bytes between the last block and the table.
      {"extra bytes", 12288, {1, 0, 1}, [](Bytes& f) { f.insert(f.end() - 3, 777, 0x3C); }, true},
      {"empty file", 4096, {1}, [](Bytes& f) { f.clear(); }, false},
      {"shorter than the header", 4096, {1}, [](Bytes& f) { f.resize(127); }, false},
      {"shorter than the map", 40960, {}, [](Bytes& f) { f.resize(137); }, false},
      // image_size 0xFF002000 in a file of 128 bytes.
      {"huge image, tiny file", 8192, {}, [](Bytes& f) { f.resize(128), f[108] = 0xFF; }, false},
      // Block 1 runs past the end of the file: refused before block 0 is assembled.
      {"cut block", 8192, {1, 1}, [](Bytes& f) { f.erase(f.end() - 4098, f.end() - 2); }, false},
      {"third block's data", 20480, {1, 1, 0, 1, 1}, [](Bytes& f) { f[8325] ^= 0x01; }, false},
      {"third block's entry", 20480, {1, 1, 0, 1, 1}, [](Bytes& f) { f.end()[-2] ^= 0x01; }, false},
  };
  for (const auto& c : cases) {
    const Bytes source = PatternImage(c.image_size);
    Bytes written = WriteUpdateFile(MakeHeader(c.image_size), source, c.map);
    if (c.edit) c.edit(written);
    // Exactly as long as the file, so that AddressSanitizer sees a read past it.
    const FileStageResult r = CheckAndAssemble(Bytes(written.begin(), written.end()));
    EXPECT_EQ(r.failure, c.ok ? nullptr : kFileFormatErrorText) << c.name;
    EXPECT_EQ(r.progress, c.ok ? 2u : 1u) << c.name;
    EXPECT_EQ(ImageOf(r), c.ok ? Expected(source, c.map) : Bytes{}) << c.name;
  }
}

}  // namespace
}  // namespace tamblet
