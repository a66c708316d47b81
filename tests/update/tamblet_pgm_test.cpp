// Runs tamblet-pgm on files it made itself, good and broken.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "update/update_file.h"

namespace tamblet {
namespace {

using Bytes = std::vector<uint8_t>;

struct PgmRun {
  int exit_code;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes ReadBytes(const std::string& path) {
  const std::string text = Slurp(path);
  return Bytes(text.begin(), text.end());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

// A path of its own for each test, since ctest runs tests side by side.
std::string TempPath(const std::string& name) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string test = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : test) {
    if (c == '/') c = '_';
  }
  return testing::TempDir() + "pgm_" + test + "_" + name;
}

PgmRun Pgm(const std::string& args) {
  const std::string out = TempPath("stdout"), err = TempPath("stderr");
  const std::string command =
      std::string("'") + TAMBLET_PGM_PATH + "' " + args + " >'" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

const std::string kHeaderArgs = "--model QX-7 --version 1.01 --target 0x01 --chunk 4096 ";

std::string WriteGood(const std::string& name, const std::string& extra = "") {
  const std::string path = TempPath(name);
  const PgmRun run = Pgm("write '" + path + "' " + kHeaderArgs +
                         "--region 0x1000:0x2000 --image-size 0x5000 --seed 7 " + extra);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return path;
}

TEST(TambletPgm, WritesAFileThatInspectAccepts) {
  const std::string path = TempPath("good.pgm");
  const PgmRun write =
      Pgm("write '" + path + "' " + kHeaderArgs +
          "--region 0x1000:0x2000 --region 0x4000:10 --image-size 0x5000 --seed 7");
  ASSERT_EQ(write.exit_code, 0) << write.err;
  // Blocks 1 and 2 hold the first region, block 4 the second; 0 and 3 stay blank.
  EXPECT_NE(write.out.find("bytes, 3 of 5 blocks present"), std::string::npos) << write.out;
  EXPECT_EQ(ReadBytes(path).size(), 128u + 5 + 3 * 4096 + 5);

  const PgmRun inspect = Pgm("inspect '" + path + "'");
  EXPECT_EQ(inspect.exit_code, 0) << inspect.out << inspect.err;
  for (const char* line :
       {"model name: \"QX-7\"\n", "version: \"1.01\"\n", "target select: 0x01\n",
        "chunk size: 4096 (0x00001000)\n", "image size: 20480 (0x00005000), 5 blocks\n",
        "region 0: address 0x00001000 size 0x00002000\n",
        "region 1: address 0x00004000 size 0x0000000A\n", "present blocks: 3 of 5: 1-2, 4\n",
        "checksums: all hold\n", "verdict: OK\n"}) {
    EXPECT_NE(inspect.out.find(line), std::string::npos) << line << " in\n" << inspect.out;
  }
}

TEST(TambletPgm, GeneratedImagesDependOnlyOnTheSeed) {
  const Bytes a = ReadBytes(WriteGood("a.pgm"));
  const Bytes b = ReadBytes(WriteGood("b.pgm"));
  const Bytes c = ReadBytes(WriteGood("c.pgm", "--seed 8"));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST(TambletPgm, RawImageComesBackFromTheFileStage) {
  Bytes raw(3 * 4096 + 100);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  const std::string raw_path = TempPath("image.raw");
  WriteBytes(raw_path, raw);
  for (const char* blocks : {"all", "none"}) {
    const std::string path = TempPath(std::string(blocks) + ".pgm");
    const PgmRun write = Pgm("write '" + path + "' " + kHeaderArgs + "--region 0:0x3064 --image '" +
                             raw_path + "' --blocks " + blocks);
    ASSERT_EQ(write.exit_code, 0) << write.err;
    const FileStageResult result = CheckAndAssemble(ReadBytes(path));
    ASSERT_EQ(result.failure, nullptr);
    ASSERT_EQ(result.header.image_size, raw.size());
    const Bytes image(result.image.get(), result.image.get() + raw.size());
    Bytes expected(raw.size(), 0xFF);
    if (std::string(blocks) == "all") std::copy_n(raw.begin(), 3 * 4096, expected.begin());
    EXPECT_EQ(image, expected) << blocks;
  }
}

struct BrokenCase {
  std::string name;
  std::string write_extra;           // added to the write command
  std::function<void(Bytes&)> edit;  // then applied to the file
  std::vector<std::string> lines;    // expected in inspect's report
};

void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }

class BrokenFile : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenFile, InspectRefusesWithLoadsText) {
  const BrokenCase& c = GetParam();
  const std::string path = WriteGood("broken.pgm", c.write_extra);
  Bytes file = ReadBytes(path);
  if (c.edit) c.edit(file);
  WriteBytes(path, file);

  const PgmRun inspect = Pgm("inspect '" + path + "'");
  EXPECT_EQ(inspect.exit_code, 1) << inspect.out;
  for (const std::string& line : c.lines) {
    EXPECT_NE(inspect.out.find(line + "\n"), std::string::npos) << line << " in\n" << inspect.out;
  }
  EXPECT_NE(inspect.out.find("verdict: File format error!!\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenFile,
    testing::Values(BrokenCase{"BlockDataChanged",
                               "",
                               [](Bytes& f) { f[128 + 5 + 4096 + 9] ^= 0x40; },
                               {"present blocks: 2 of 5: 1-2", "checksums: 1 differ: 2"}},
                    BrokenCase{"Truncated",
                               "",
                               [](Bytes& f) { f.resize(128 + 5 + 4096); },
                               {"blocks past the end of the file: 2"}},
                    BrokenCase{"TooShortForHeader",
                               "",
                               [](Bytes& f) { f.resize(10); },
                               {"header: cut short (128 bytes needed)"}},
                    BrokenCase{"ForcedTarget80",
                               "--force --target 0x80",
                               nullptr,
                               {"target select: 0x80 (cannot travel in a SysEx data byte)",
                                "checksums: all hold"}},
                    BrokenCase{"ForcedChunk0",
                               "--force --chunk 0",
                               nullptr,
                               {"chunk size: 0 (0x00000000) (must be at least 1)"}},
                    BrokenCase{
                        "ForcedRegionOutside",
                        "--force --region 0xFFFFF000:0x2000",
                        nullptr,
                        {"region 1: address 0xFFFFF000 size 0x00002000 (ends at 0x100001000, past "
                         "the image)"}}),
    [](const auto& info) { return info.param.name; });

TEST(TambletPgm, InspectOfAMissingFileSaysFileNotFound) {
  const PgmRun inspect = Pgm("inspect '" + TempPath("nothing-here.pgm") + "'");
  EXPECT_EQ(inspect.exit_code, 1);
  EXPECT_NE(inspect.out.find("verdict: File not found!!\n"), std::string::npos) << inspect.out;
  EXPECT_NE(inspect.err.find("cannot open"), std::string::npos) << inspect.err;
}

struct UsageCase {
  std::string name;
  std::string args;
  int exit_code;
  std::string complaint;  // expected on stderr
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class BadUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(BadUsage, ComplainsAndFails) {
  const UsageCase& c = GetParam();
  const std::string args = std::string(c.args).replace(c.args.find("OUT"), 3, TempPath("out.pgm"));
  const PgmRun run = Pgm(args);
  EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
  EXPECT_NE(run.err.find(c.complaint), std::string::npos) << run.err;
  EXPECT_TRUE(ReadBytes(TempPath("out.pgm")).empty());
}

const std::string kGood = "write OUT " + kHeaderArgs + "--region 0:16 --image-size 4096 ";
const std::string kNoModel =
    "write OUT --version 1 --target 1 --chunk 1 --region 0:1 "
    "--image-size 4096 ";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadUsage,
    testing::Values(
        UsageCase{"UnknownCommand", "frob OUT", 2, "unknown command 'frob'"},
        UsageCase{"InspectTwoFiles", "inspect OUT OUT", 2, "usage: tamblet-pgm inspect FILE"},
        UsageCase{"MissingModel", kNoModel, 2, "--model is required"},
        UsageCase{"TargetTooLarge", kGood + "--target 0x100", 2, "--target 0x100: not a number"},
        UsageCase{"BadNumber", kGood + "--chunk 12abc", 2, "--chunk 12abc: not a number"},
        UsageCase{"NegativeNumber", kGood + "--image-size -5", 2, "not a number"},
        UsageCase{"ChunkTooLarge", kGood + "--chunk 0x100000000", 2, "not a number"},
        UsageCase{"RegionWithoutSize", kGood + "--region 5", 2, "expected ADDR:SIZE"},
        UsageCase{"ThreeRegions", kGood + "--region 0:1 --region 0:1", 2, "at most two regions"},
        UsageCase{"UnknownBlocks", kGood + "--blocks some", 2, "expected all, used or none"},
        UsageCase{"UnknownOption", kGood + "--colour red", 2, "unknown option --colour"},
        UsageCase{"OptionWithoutValue", kGood + "--seed", 2, "--seed needs a value"},
        UsageCase{"LongModel", kGood + "--model ABCDEFGHIJKLMNOP", 2, "at most 15 characters"},
        UsageCase{"LongVersion", kGood + "--version 1.0.1", 2, "at most 4 characters"},
        UsageCase{"TwoImages", kGood + "--image x.raw", 2, "either --image or --image-size"},
        UsageCase{"Target80", kGood + "--target 0x80", 2, "below 0x80"},
        UsageCase{"Chunk0", kGood + "--chunk 0", 2, "at least 1"},
        UsageCase{"RegionOutside", kGood + "--region 4000:97", 2, "does not lie inside"},
        UsageCase{"MissingRawImage",
                  "write OUT " + kHeaderArgs + "--region 0:1 --image /nonexistent/x.raw", 1,
                  "cannot open /nonexistent/x.raw"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tamblet
