#include "update/update_file.h"

#include <gtest/gtest.h>

#include <vector>

#include "update/update_writer.h"

namespace tamblet {
namespace {

using Bytes = std::vector<uint8_t>;

// The header's byte layout, which the parser and the writer could get wrong
// alike. Which files the file stage accepts, and what it assembles, is checked
// against rules written apart from it by fuzz/file_stage_fuzz.cpp; where the
// present blocks lie, by the companion tool's test.
TEST(UpdateFile, BlockMap101LaysOutAs8326Bytes) {
  const UpdateHeader header{"QX-7", {'1', '.', '0', '1'}, 0x7F, 4096, 12288, {{0, 12288}, {}}};
  const Bytes file = WriteUpdateFile(header, Bytes(12288, 0x5A), Bytes{0x01, 0x00, 0x01});
  ASSERT_EQ(file.size(), 8326u);
  // Big-endian chunk_size, image_size and region 0 at offsets 104-119; target_select at 80.
  EXPECT_EQ(Bytes(file.begin() + 104, file.begin() + 120),
            (Bytes{0, 0, 0x10, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0, 0x30, 0}));
  EXPECT_EQ(file[80], 0x7F);  // the highest target a SysEx data byte carries
  const FileStageResult result = CheckAndAssemble(file);
  EXPECT_EQ(result.failure, nullptr);
  EXPECT_EQ(EncodeHeader(result.header), EncodeHeader(header));
}

}  // namespace
}  // namespace tamblet
