#include "update/update_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "update/update_writer.h"

namespace tamblet {
namespace {

using Bytes = std::vector<uint8_t>;

UpdateHeader MakeHeader(uint32_t image_size) {
  UpdateHeader header;
  std::strcpy(header.model_name, "QX-7");
  std::memcpy(header.version, "1.01", 4);
  header.target_select = 0x01;
  header.chunk_size = 4096;
  header.image_size = image_size;
  header.regions[0] = {0, image_size};
  return header;
}

// Bytes that differ from block to block and are never all 0xFF.
Bytes PatternImage(size_t size) {
  Bytes image(size);
  uint32_t x = 12345;
  for (auto& b : image) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

// What the image must hold: the source's present blocks, 0xFF elsewhere.
Bytes Expected(const Bytes& source, uint32_t image_size, const Bytes& map) {
  Bytes image(image_size, 0xFF);
  for (size_t i = 0; i < map.size(); ++i) {
    if (map[i] != 0) {
      std::copy_n(source.begin() + i * kBlockSize, kBlockSize, image.begin() + i * kBlockSize);
    }
  }
  return image;
}

Bytes ImageOf(const FileStageResult& result) {
  if (!result.image) return {};
  return Bytes(result.image.get(), result.image.get() + result.header.image_size);
}

TEST(UpdateFile, BlockMap010LaysOutAs8326Bytes) {
  const Bytes source = PatternImage(12288);
  const Bytes map = {0x01, 0x00, 0x01};
  Bytes file = WriteUpdateFile(MakeHeader(12288), source, map);
  ASSERT_EQ(file.size(), 8326u);
  EXPECT_TRUE(std::equal(file.begin() + 131, file.begin() + 4227, source.begin()));
  EXPECT_TRUE(std::equal(file.begin() + 4227, file.begin() + 8323, source.begin() + 8192));
  file[8324] ^= 0x5A;  // block 1's entry is never examined

  const FileStageResult result = CheckAndAssemble(file);
  ASSERT_EQ(result.failure, nullptr);
  EXPECT_EQ(result.progress, 2u);
  const Bytes image = ImageOf(result);
  ASSERT_EQ(image.size(), 12288u);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4096, source.begin()));
  EXPECT_TRUE(
      std::all_of(image.begin() + 4096, image.begin() + 8192, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(image.begin() + 8192, image.end(), source.begin() + 8192));
}

struct GoodFileCase {
  std::string name;
  uint32_t image_size;
  Bytes map;
  std::function<void(Bytes&)> edit;  // applied to the written file
};

void PrintTo(const GoodFileCase& c, std::ostream* os) { *os << c.name; }

class GoodFile : public testing::TestWithParam<GoodFileCase> {};

TEST_P(GoodFile, AssemblesPresentBlocksOverFF) {
  const GoodFileCase& c = GetParam();
  const Bytes source = PatternImage(c.image_size);
  Bytes file = WriteUpdateFile(MakeHeader(c.image_size), source, c.map);
  if (c.edit) c.edit(file);

  const FileStageResult result = CheckAndAssemble(file);
  ASSERT_EQ(result.failure, nullptr) << result.failure;
  EXPECT_EQ(result.progress, 2u);
  EXPECT_EQ(ImageOf(result), Expected(source, c.image_size, c.map));
}

const auto kTableAllZero = [](Bytes& file) { file.back() = 0x00; };

INSTANTIATE_TEST_SUITE_P(
    Cases, GoodFile,
    testing::Values(GoodFileCase{"AllPresent", 3 * 4096, {1, 1, 1}, nullptr},
                    GoodFileCase{
                        "AnyNonZeroMapByteMeansPresent", 3 * 4096, {0x80, 0x00, 0xFF}, nullptr},
                    GoodFileCase{"ZeroMapIgnoresTable",
                                 2 * 4096,
                                 {0, 0},
                                 [](Bytes& file) {
                                   file[file.size() - 2] = 0x12;
                                   file[file.size() - 1] = 0x34;
                                 }},
                    GoodFileCase{"AbsentBlockEntryIgnored", 2 * 4096, {1, 0}, kTableAllZero},
                    GoodFileCase{"ImageBelowOneBlock", 4095, {}, nullptr},
                    GoodFileCase{"EmptyImage", 0, {}, nullptr},
                    GoodFileCase{"TailAfterLastBlockStaysFF", 10000, {1, 1}, nullptr},
                    GoodFileCase{"ExtraBytesBeforeTable",
                                 3 * 4096,
                                 {1, 0, 1},
                                 [](Bytes& file) { file.insert(file.end() - 3, 777, 0x3C); }},
                    GoodFileCase{"HeaderJunkIgnored",
                                 2 * 4096,
                                 {1, 1},
                                 [](Bytes& file) {
                                   std::fill(file.begin() + 20, file.begin() + 80, 0xA5);
                                   std::fill(file.begin() + 81, file.begin() + 104, 0x5A);
                                 }}),
    [](const auto& info) { return info.param.name; });

TEST(UpdateFile, ImageBelowOneBlockHasNoMapOrTable) {
  const Bytes file = WriteUpdateFile(MakeHeader(4095), {}, BlockChoice::kAll);
  EXPECT_EQ(file.size(), kHeaderSize);
  const FileStageResult result = CheckAndAssemble(file);
  ASSERT_EQ(result.failure, nullptr);
  EXPECT_EQ(ImageOf(result), Bytes(4095, 0xFF));
}

struct ChecksumCase {
  std::string name;
  Bytes block;
  uint8_t checksum;
};

void PrintTo(const ChecksumCase& c, std::ostream* os) { *os << c.name; }

class Checksum : public testing::TestWithParam<ChecksumCase> {};

// The table entry is set by hand, so the writer's own arithmetic is not trusted.
TEST_P(Checksum, OnlyTheOnesComplementOfTheSumPasses) {
  const ChecksumCase& c = GetParam();
  EXPECT_EQ(BlockChecksum(std::span<const uint8_t, kBlockSize>(c.block)), c.checksum);
  Bytes file = WriteUpdateFile(MakeHeader(4096), c.block, BlockChoice::kAll);
  file.back() = c.checksum;
  EXPECT_EQ(CheckAndAssemble(file).failure, nullptr);
  for (uint8_t wrong : {uint8_t(c.checksum ^ 0x01), uint8_t(c.checksum ^ 0x80)}) {
    file.back() = wrong;
    EXPECT_STREQ(CheckAndAssemble(file).failure, kFileFormatErrorText) << int{wrong};
  }
}

Bytes OneThenZeros() {
  Bytes block(kBlockSize, 0x00);
  block[0] = 0x01;
  return block;
}

INSTANTIATE_TEST_SUITE_P(Cases, Checksum,
                         testing::Values(ChecksumCase{"AllZero", Bytes(kBlockSize, 0x00), 0xFF},
                                         ChecksumCase{"AllFF", Bytes(kBlockSize, 0xFF), 0xFF},
                                         ChecksumCase{"OneThenZeros", OneThenZeros(), 0xFE}),
                         [](const auto& info) { return info.param.name; });

TEST(UpdateFile, MismatchInThirdPresentBlockStopsAfterTwo) {
  const Bytes source = PatternImage(5 * 4096);
  const Bytes map = {1, 1, 0, 1, 1};
  for (bool corrupt_data : {false, true}) {
    Bytes file = WriteUpdateFile(MakeHeader(5 * 4096), source, map);
    if (corrupt_data) {
      file[kHeaderSize + 5 + 2 * kBlockSize + 100] ^= 0x01;  // third present block's data
    } else {
      file[file.size() - 5 + 3] ^= 0x01;  // block 3's table entry
    }
    const FileStageResult result = CheckAndAssemble(file);
    EXPECT_STREQ(result.failure, kFileFormatErrorText);
    EXPECT_EQ(result.progress, 1u);
    EXPECT_EQ(ImageOf(result), Expected(source, 5 * 4096, {1, 1, 0, 0, 0})) << corrupt_data;
  }
}

// Block data and the last N bytes may overlap; the table is still the last N.
TEST(UpdateFile, TableOverlappingBlockDataIsTheLastBytes) {
  Bytes block(kBlockSize, 0x00);
  block[0] = 0x01;
  block[kBlockSize - 1] = 0x7F;  // sum 0x80, so the checksum 0x7F is the block's own last byte
  Bytes file = WriteUpdateFile(MakeHeader(4096), block, BlockChoice::kAll);
  file.pop_back();
  ASSERT_EQ(file.size(), kHeaderSize + 1 + kBlockSize);
  const FileStageResult result = CheckAndAssemble(file);
  ASSERT_EQ(result.failure, nullptr);
  EXPECT_EQ(ImageOf(result), block);
}

TEST(UpdateFile, ModelNameWithoutNulIsKeptWhole) {
  UpdateHeader header = MakeHeader(4096);
  std::memcpy(header.model_name, "ABCDEFGHIJKLMNOP", 16);
  const Bytes file = WriteUpdateFile(header, PatternImage(4096), BlockChoice::kAll);
  const FileStageResult result = CheckAndAssemble(file);
  ASSERT_EQ(result.failure, nullptr);
  EXPECT_EQ(std::string(result.header.model_name, 16), "ABCDEFGHIJKLMNOP");
}

TEST(UpdateFile, ParseHeaderReadsBigEndianFieldsAtTheirOffsets) {
  std::array<uint8_t, kHeaderSize> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  const UpdateHeader header = ParseHeader(bytes);
  EXPECT_EQ(header.model_name[0], 0);
  EXPECT_EQ(header.model_name[15], 15);
  EXPECT_EQ(std::string(header.version, 4), "\x10\x11\x12\x13");
  EXPECT_EQ(header.target_select, 80);
  EXPECT_EQ(header.chunk_size, 0x68696A6Bu);
  EXPECT_EQ(header.image_size, 0x6C6D6E6Fu);
  EXPECT_EQ(header.regions[0].address, 0x70717273u);
  EXPECT_EQ(header.regions[0].size, 0x74757677u);
  EXPECT_EQ(header.regions[1].address, 0x78797A7Bu);
  EXPECT_EQ(header.regions[1].size, 0x7C7D7E7Fu);
  // Writing puts the fields back in place; bytes no field covers become 0.
  std::fill(bytes.begin() + 20, bytes.begin() + 80, 0);
  std::fill(bytes.begin() + 81, bytes.begin() + 104, 0);
  EXPECT_EQ(EncodeHeader(header), bytes);
}

struct BadFileCase {
  std::string name;
  std::function<Bytes()> make;
  bool refused_before_image;  // no image is allocated
};

void PrintTo(const BadFileCase& c, std::ostream* os) { *os << c.name; }

class BadFile : public testing::TestWithParam<BadFileCase> {};

TEST_P(BadFile, IsAFormatErrorAtPositionOne) {
  const BadFileCase& c = GetParam();
  const Bytes file = c.make();
  const FileStageResult result = CheckAndAssemble(file);
  EXPECT_STREQ(result.failure, kFileFormatErrorText);
  EXPECT_EQ(result.progress, 1u);
  EXPECT_EQ(result.image == nullptr, c.refused_before_image);
}

Bytes GoodWith(uint32_t image_size, const std::function<void(UpdateHeader&)>& change) {
  UpdateHeader header = MakeHeader(image_size);
  change(header);
  return WriteUpdateFile(header, PatternImage(image_size), BlockChoice::kAll);
}

Bytes Truncated(uint32_t image_size, size_t length) {
  Bytes file = WriteUpdateFile(MakeHeader(image_size), PatternImage(image_size), BlockChoice::kAll);
  file.resize(length);
  return file;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFile,
    testing::Values(
        BadFileCase{"Empty", [] { return Bytes{}; }, true},
        BadFileCase{"ShorterThanHeader", [] { return Truncated(4096, 127); }, true},
        BadFileCase{"ShorterThanMap", [] { return Truncated(10 * 4096, 128 + 9); }, true},
        BadFileCase{"TinyFileAnnouncingHugeImage",
                    [] {
                      const auto header = EncodeHeader(MakeHeader(0xFFFFFFFF));
                      return Bytes(header.begin(), header.end());
                    },
                    true},
        BadFileCase{"PresentBlockPastTheEnd",
                    [] {
                      // Map 1 1, then one block and a 2-byte table: block 1 runs off the
                      // end. Copied to an exact size so that no spare capacity hides a read
                      // past the end from AddressSanitizer.
                      Bytes file = Truncated(2 * 4096, 128 + 2 + 4096);
                      const std::span<const uint8_t, kBlockSize> block0(file.data() + 130,
                                                                        kBlockSize);
                      file.push_back(BlockChecksum(block0));  // block 0 passes
                      file.push_back(0x00);
                      return Bytes(file.begin(), file.end());
                    },
                    false},
        BadFileCase{"ChunkSizeZero",
                    [] { return GoodWith(4096, [](auto& h) { h.chunk_size = 0; }); }, true},
        BadFileCase{"RegionPastImageEnd",
                    [] { return GoodWith(8192, [](auto& h) {
                           h.regions[0] = {4096, 4097};
                         }); },
                    true},
        BadFileCase{"SecondRegionPastImageEnd",
                    [] { return GoodWith(8192, [](auto& h) {
                           h.regions[1] = {8192, 1};
                         }); }, true},
        BadFileCase{"RegionWrappingIn32Bits",
                    [] {
                      return GoodWith(8192, [](auto& h) { h.regions[0] = {0xFFFFF000, 0x2000}; });
                    },
                    true},
        BadFileCase{"TargetSelect80",
                    [] { return GoodWith(4096, [](auto& h) { h.target_select = 0x80; }); }, true},
        BadFileCase{"TargetSelectFF",
                    [] { return GoodWith(4096, [](auto& h) { h.target_select = 0xFF; }); }, true}),
    [](const auto& info) { return info.param.name; });

// The limits of the refusals above: values just inside them pass.
TEST(UpdateFile, HeaderValuesAtTheirLimitsPass) {
  const std::vector<std::function<void(UpdateHeader&)>> changes = {
      [](auto& h) { h.chunk_size = 1; }, [](auto& h) { h.target_select = 0x7F; },
      [](auto& h) {
        h.regions[1] = {4096, 4096};
      },  // ends at image_size
      [](auto& h) {
        h.regions[1] = {0xFFFFFFFF, 0};
      },             // unused
      [](auto& h) {  // both unused
        h.regions[0] = {8192, 0};
        h.regions[1] = {};
      }};
  for (size_t i = 0; i < changes.size(); ++i) {
    EXPECT_EQ(CheckAndAssemble(GoodWith(8192, changes[i])).failure, nullptr) << i;
  }
}

}  // namespace
}  // namespace tamblet
