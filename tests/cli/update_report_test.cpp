// The record `--report` keeps: one whole JSON line per update, appended.

#include "cli/update_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tamblet::cli {
namespace {

namespace fs = std::filesystem;

TEST(UpdateReport, OneWholeLinePerUpdateAppended) {
  // The hash and the times are checked in the line below.
  const std::string abc = "abc";
  const std::vector<uint8_t> bytes(abc.begin(), abc.end());
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  const fs::path file = fs::path(testing::TempDir()) / "update-report.jsonl";
  std::ofstream(file) << "{\"earlier\":1}\n";  // a report kept from another day
  const FileFacts facts{"fw.pgm", 3, Sha256Hex(bytes), "1.02"};
  {
    UpdateReport report;
    ASSERT_EQ(report.Open(file.string()), "");
    EXPECT_TRUE(report.Append(facts, {{"SER-A", "usb 1-1"},
                                      "QELMAR SIM",
                                      "QELMAR SIM OUT 1",
                                      "QELMAR SIM IN 1",
                                      1796642403250,
                                      1796642413000,
                                      "Complete!",
                                      0}));
    EXPECT_TRUE(
        report.Append(facts, {{"", "usb 1-2"}, "QELMAR \xff", "", "", 0, 0, "Verify error!!", 1}));
  }
  std::ifstream in(file);
  std::vector<nlohmann::ordered_json> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(nlohmann::ordered_json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], nlohmann::ordered_json::parse(R"({"instrument":"SER-A","serial":"SER-A",
    "usb_path":"usb 1-1","card":"QELMAR SIM","output_port":"QELMAR SIM OUT 1",
    "input_port":"QELMAR SIM IN 1","file":"fw.pgm","size":3,
    "sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
    "version":"1.02","start":"2026-12-07T11:20:03.250Z","end":"2026-12-07T11:20:13.000Z",
    "final":"Complete!","exit":0})"));
  // A card without a serial, and a report that cannot be opened: cli_test.
  EXPECT_EQ(lines[2]["card"], "QELMAR \xef\xbf\xbd");
}

}  // namespace
}  // namespace tamblet::cli
