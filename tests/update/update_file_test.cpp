#include "update/update_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "update/update_writer.h"

namespace tamblet {
namespace {

using Bytes = std::vector<uint8_t>;

// Region 0 covers the whole image unless given.
UpdateHeader Hdr(uint32_t image_size, Region r1 = {}, uint8_t target = 1, uint32_t chunk = 4096,
                 std::optional<Region> r0 = {}) {
  const Region whole{0, image_size};
  return {"QX-7", {'1', '.', '0', '1'}, target, chunk, image_size, {r0.value_or(whole), r1}};
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

Bytes RegionOf(const FileStageResult& r, int i) {
  const uint8_t* bytes = r.image.regions[i].get();
  return bytes ? Bytes(bytes, bytes + r.header.regions[i].size) : Bytes{};
}

// Where the two present blocks lie is shown by the companion tool's test, which
// writes the same map.
TEST(UpdateFile, BlockMap010LaysOutAs8326Bytes) {
  const Bytes file = WriteUpdateFile(Hdr(12288), PatternImage(12288), Bytes{0x01, 0x00, 0x01});
  ASSERT_EQ(file.size(), 8326u);
  // Big-endian chunk_size, image_size and region 0 at offsets 104-119; target_select at 80.
  EXPECT_EQ(Bytes(file.begin() + 104, file.begin() + 120),
            (Bytes{0, 0, 0x10, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0, 0x30, 0}));
  EXPECT_EQ(file[80], 0x01);
  EXPECT_EQ(EncodeHeader(CheckAndAssemble(file).header), EncodeHeader(Hdr(12288)));
}

// The table entry is set by hand, so the writer's own arithmetic is not trusted.
TEST(UpdateFile, OnlyTheOnesComplementOfTheSumPasses) {
  Bytes one_then_zeros(kBlockSize, 0x00);
  one_then_zeros[0] = 0x01;
  const std::pair<Bytes, uint8_t> cases[] = {
      {Bytes(kBlockSize, 0x00), 0xFF}, {Bytes(kBlockSize, 0xFF), 0xFF}, {one_then_zeros, 0xFE}};
  for (const auto& [block, checksum] : cases) {
    Bytes file = WriteUpdateFile(Hdr(4096), block, BlockChoice::kAll);
    for (uint8_t entry : {checksum, uint8_t(checksum ^ 0x01), uint8_t(checksum ^ 0x80)}) {
      file.back() = entry;
      EXPECT_EQ(CheckAndAssemble(file).failure == nullptr, entry == checksum) << int{entry};
    }
  }
}

// Header values at and just past the limits the file stage enforces, and
// files cut, padded or broken after writing. (The companion tool's inspect
// shows the file stage's verdict on a target of 0x80, a chunk size of 0 and a
// region that wraps.)
TEST(UpdateFile, AcceptsExactlyTheWellFormedFiles) {
  const struct {
    const char* name;
    UpdateHeader header;
    Bytes map;
    bool ok;
    void (*edit)(Bytes&) = nullptr;  // applied to the written file
  } cases[] = {
      {"target 0x7F", Hdr(8192, {}, 0x7F), {1, 1}, true},
      {"region ends at the image end", Hdr(8192, {4096, 4096}), {1, 1}, true},
      {"unused region anywhere", Hdr(8192, {0xFFFFFFFF, 0}), {1, 1}, true},
      {"all-zero map, table ignored", Hdr(8192), {0, 0}, true, [](Bytes& f) { f.back() = 0x34; }},
      {"any non-zero map byte", Hdr(12288), {0x80, 0x00, 0xFF}, true},
      {"image_size below one block", Hdr(4095), {}, true},
      {"image_size 10000, tail 0xFF", Hdr(10000), {1, 1}, true},
      // Regions that start and end inside blocks and overlap hold their slices.
      {"overlapping", Hdr(12288, {4000, 8288}, 1, 4096, Region{100, 8000}), {1, 0, 1}, true},
      {"absent block's entry", Hdr(12288), {1, 0, 1}, true, [](Bytes& f) { f.end()[-2] ^= 0x5A; }},
      // 777 bytes between the last block and the table.
      {"padded", Hdr(12288), {1, 0, 1}, true, [](Bytes& f) { f.insert(f.end() - 3, 777, 0x3C); }},
      {"region past the image end", Hdr(8192, {}, 1, 4096, Region{4096, 4097}), {1, 1}, false},
      {"second region past the end", Hdr(8192, {8192, 1}), {1, 1}, false},
      {"empty file", Hdr(4096), {1}, false, [](Bytes& f) { f.clear(); }},
      {"shorter than the header", Hdr(4096), {1}, false, [](Bytes& f) { f.resize(127); }},
      {"shorter than the map", Hdr(40960), {}, false, [](Bytes& f) { f.resize(137); }},
      // image_size 0xFF002000 in a file of 128 bytes.
      {"huge image", Hdr(8192), {}, false, [](Bytes& f) { f.resize(128), f[108] = 0xFF; }},
      // Block 1 runs past the end of the file: refused before block 0 is assembled.
      {"cut", Hdr(8192), {1, 1}, false, [](Bytes& f) { f.erase(f.end() - 4098, f.end() - 2); }},
      {"block 3 data", Hdr(20480), {1, 1, 0, 1, 1}, false, [](Bytes& f) { f[8325] ^= 1; }},
      {"block 3 entry", Hdr(20480), {1, 1, 0, 1, 1}, false, [](Bytes& f) { f.end()[-2] ^= 1; }},
  };
  for (const auto& c : cases) {
    const Bytes source = PatternImage(c.header.image_size);
    Bytes written = WriteUpdateFile(c.header, source, c.map);
    if (c.edit) c.edit(written);
    // Exactly as long as the file, so that AddressSanitizer sees a read past it.
    const FileStageResult r = CheckAndAssemble(Bytes(written.begin(), written.end()));
    EXPECT_EQ(r.failure, c.ok ? nullptr : kFileFormatErrorText) << c.name;
    EXPECT_EQ(r.progress, c.ok ? 2u : 1u) << c.name;
    // A refused file is refused before any image is made.
    const Bytes whole = Expected(source, c.map);
    for (int i = 0; i < 2; ++i) {
      const Region g = c.header.regions[i];
      const auto at = whole.begin() + std::min<size_t>(g.address, whole.size());
      EXPECT_EQ(RegionOf(r, i), c.ok ? Bytes(at, at + g.size) : Bytes{}) << c.name << " " << i;
    }
  }
}

}  // namespace
}  // namespace tamblet
