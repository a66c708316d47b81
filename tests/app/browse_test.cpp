#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/version_preview.h"
#include "tests/support/recording_window.h"

namespace tamblet {
namespace {

using test::RecordingWindow;

// A 128-byte header whose bytes 16..20 are `version` (5 bytes given), the rest
// a pattern that must not show.
std::vector<uint8_t> Header(const std::string& version5, size_t size = 128) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>('a' + i % 26);
  for (size_t i = 0; i < version5.size() && 16 + i < size; ++i) bytes[16 + i] = version5[i];
  return bytes;
}

struct PreviewCase {
  const char* what;
  std::string version5;  // header bytes 16..20
  std::string expected;
};

class VersionPreviewFormat : public testing::TestWithParam<PreviewCase> {};

TEST_P(VersionPreviewFormat, ShowsUpToFourCharacters) {
  const auto bytes = Header(GetParam().version5);
  EXPECT_EQ(FormatVersionPreview(std::span<const uint8_t, 128>(bytes.data(), 128)),
            GetParam().expected)
      << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionPreviewFormat,
    testing::Values(
        PreviewCase{"four characters", "1.02X", "Load Version 1.02"},
        PreviewCase{"NUL in the third byte", std::string("V1\0ZZ", 5), "Load Version V1"},
        PreviewCase{"leading NUL", std::string("\0ABCD", 5), "Load Version "},
        PreviewCase{"byte 20 has no effect", std::string("2.00\0", 5), "Load Version 2.00"},
        PreviewCase{"bytes passed as they are", "\x01\xff\x7f!Q", "Load Version \x01\xff\x7f!"}));

class BrowseTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tamblet-browse-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
  }

  // One press of Browse answered with `answer`; returns the selected path.
  std::string Browse(const std::string& answer) {
    window_.AnswerFileDialog(answer);
    return BrowseForUpdateFile(window_);
  }

  std::string dir_;
  RecordingWindow window_;
};

TEST_F(BrowseTest, GoodFileShowsPathAndPreview) {
  const std::string path = Write("a.pgm", Header("1.02X"));
  EXPECT_EQ(Browse(path), path);
  EXPECT_EQ(window_.Text(IDC_FILE_NAME), path);
  EXPECT_EQ(window_.StatusTexts(), std::vector<std::string>{"Load Version 1.02"});
  EXPECT_EQ(window_.file_dialogs(), 1);
}

TEST_F(BrowseTest, FileOf128BytesHasPreviewAnd127None) {
  const std::string exact = Write("exact.pgm", Header("ABCD", 128));
  const std::string longer = Write("long.pgm", Header("EFGH", 5000));
  const std::string short_one = Write("short.pgm", Header("WXYZ", 127));
  EXPECT_EQ(Browse(short_one), short_one);
  EXPECT_TRUE(window_.StatusTexts().empty());
  Browse(exact);
  Browse(longer);
  EXPECT_EQ(window_.StatusTexts(),
            (std::vector<std::string>{"Load Version ABCD", "Load Version EFGH"}));
}

TEST_F(BrowseTest, ShortFileAfterGoodOneKeepsTheFirstPreview) {
  const std::string good = Write("good.pgm", Header("1.00"));
  const std::string short_one = Write("short.pgm", Header("9.99", 20));
  Browse(good);
  EXPECT_EQ(Browse(short_one), short_one);
  EXPECT_EQ(window_.Text(IDC_FILE_NAME), short_one);
  EXPECT_EQ(window_.Text(IDC_STATUS), "Load Version 1.00");
  EXPECT_EQ(window_.StatusTexts().size(), 1u);
}

TEST_F(BrowseTest, CancelEmptiesPathButKeepsPreview) {
  Browse(Write("good.pgm", Header("1.00")));
  EXPECT_EQ(Browse(""), "");
  EXPECT_EQ(window_.Text(IDC_FILE_NAME), "");
  EXPECT_EQ(window_.Text(IDC_STATUS), "Load Version 1.00");
}

TEST_F(BrowseTest, UnreadableChoicesLeaveStatusAlone) {
  window_.SetWindowText(IDC_STATUS, "Complete!");
  const std::string missing = dir_ + "/gone.pgm";
  EXPECT_EQ(Browse(missing), missing);
  EXPECT_EQ(Browse(dir_), dir_);  // a directory opens but cannot be read
  const std::string fifo = dir_ + "/pipe.pgm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Browse(fifo), fifo);  // must not block waiting for a writer
  EXPECT_EQ(window_.StatusTexts(), std::vector<std::string>{"Complete!"});
  EXPECT_EQ(window_.Text(IDC_FILE_NAME), fifo);
}

TEST_F(BrowseTest, TypedTextIsReplacedByTheDialogsPath) {
  const std::string path = Write("a.pgm", Header("3.10"));
  window_.Type(IDC_FILE_NAME, "/typed/by/hand.pgm");
  EXPECT_EQ(Browse(path), path);
  EXPECT_EQ(window_.Text(IDC_FILE_NAME), path);
}

TEST_F(BrowseTest, DescriptorsAreClosedOnEveryPath) {
  const std::string good = Write("good.pgm", Header("1.00"));
  const std::string short_one = Write("short.pgm", Header("1.00", 10));
  const auto open_fds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto before = open_fds();
  for (int i = 0; i < 20; ++i) {
    Browse(good);
    Browse(short_one);
    Browse(dir_);
  }
  EXPECT_EQ(open_fds(), before);
}

}  // namespace
}  // namespace tamblet
