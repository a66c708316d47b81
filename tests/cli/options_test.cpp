// tamblet-cli's words: what each argument vector is taken as, or which usage
// error it is.

#include "cli/options.h"

#include <gtest/gtest.h>

#include "cli/cli.h"

namespace tamblet::cli {
namespace {

TEST(Options, ValuesThatLookLikeOptionsRepeatsAndUnexpectedWords) {
  using V = std::vector<std::string>;
  const struct {
    V args;
    std::string error;  // "": parsed; else a part of the usage error
    std::optional<std::string> report = {}, output = {};
    std::string file = "F";
  } cases[] = {
      {{"update", "F", "--report", "--help"}, "--report needs a value, not '--help'"},
      {{"update", "F", "--output", "--help"}, "--output needs a value, not '--help'"},
      {{"update", "F", "--instrument", "-1"}, "--instrument needs a value, not '-1'"},
      {{"update", "F", "--output", "-"}, "--output needs a value, not '-'"},
      {{"update", "F", "--report=--help"}, "", "--help"},
      {{"update", "F", "--output=-x", "--report", "r"}, "", "r", "-x"},
      {{"update", "--", "-F"}, "", {}, {}, "-F"},
      {{"update", "F", "--all", "--all"}, "--all is given more than once"},
      {{"--json", "update", "F", "--json"}, "--json is given more than once"},
      {{"update", "F", "--report", "a", "--report=b"}, "--report is given more than once"},
      {{"update", "F", "x", "y"}, "not expected: x y\n"},
      {{"ports", "--report", "x"}, "not expected: --report x\n"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& word : c.args) line += word + " ";
    SCOPED_TRACE(line);
    Options options;
    const std::optional<ParseEnd> end = ParseArgs(c.args, options);
    if (c.error.empty()) {
      ASSERT_FALSE(end.has_value()) << end->err;
      EXPECT_EQ(options.file, c.file);
      EXPECT_EQ(options.report, c.report);
      EXPECT_EQ(options.output, c.output);
    } else {
      ASSERT_TRUE(end.has_value());
      EXPECT_EQ(end->status, kExitUsage);
      EXPECT_TRUE(end->out.empty());
      EXPECT_NE(end->err.find(c.error), std::string::npos) << end->err;
    }
  }
}

}  // namespace
}  // namespace tamblet::cli
