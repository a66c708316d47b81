// Runs tamblet-pgm as a user would, on files it made itself, good and broken.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <tuple>
#include <utility>

#include "update/update_file.h"
#include "update/update_writer.h"

namespace tamblet {
namespace {

// A path of its own for each test, since ctest runs tests side by side.
std::string TempPath(const std::string& name) {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  return testing::TempDir() + "pgm_" + test->name() + "_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct PgmRun {
  int exit_code;
  std::string out, err;
};

PgmRun Pgm(const std::string& args, const std::string& shell_prefix = "") {
  const std::string out = TempPath("stdout"), err = TempPath("stderr");
  const std::string command =
      shell_prefix + "'" TAMBLET_PGM_PATH "' " + args + " >'" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

// The header's options, but those that `extra` gives itself (each is taken once).
std::string Header(const std::string& extra = "") {
  std::string words;
  for (const char* option : {"--model QX-7 ", "--version 1.01 ", "--target 0x01 ", "--chunk 4096 "})
    if (extra.find(std::string(option).substr(0, std::string(option).find(' '))) ==
        std::string::npos)
      words += option;
  return words + extra;
}

// Written from an image whose block 1 and tail are blank, and so left out;
// then broken after writing, or written with header values only --force allows.
TEST(TambletPgm, InspectGivesLoadsVerdictAndWhy) {
  std::string raw(3 * 4096 + 100, '\xFF');
  for (size_t i = 0; i < 4096; ++i) raw[i] = raw[i + 8192] = static_cast<char>(i * 7 + i / 256);
  std::ofstream(TempPath("image.raw"), std::ios::binary) << raw;
  const std::string path = TempPath("update.pgm");
  const std::string write =
      "write '" + path + "' --region 0:0x3064 --image '" + TempPath("image.raw") + "' ";
  // Arguments added to the write, the edit after it, a line of the report.
  const std::tuple<const char*, void (*)(std::string&), const char*> cases[] = {
      {"", nullptr, "present blocks: 2 of 3: 0, 2\nchecksums: all hold\n"},
      {"", [](std::string& f) { f[128 + 3 + 4096 + 9] ^= 0x40; }, "checksums: 1 differ: 2"},
      {"", [](std::string& f) { f.resize(128 + 3 + 4096); }, "blocks past the end of the file: 2"},
      {"", [](std::string& f) { f.resize(10); }, "header: cut short (128 bytes needed)"},
      {"--force --target 0x80", nullptr, "0x80 (cannot travel in a SysEx data byte)"},
      {"--force --chunk 0", nullptr, "chunk size: 0 (0x00000000) (must be at least 1)"},
      {"--force --region 0xFFFFF000:0x2000", nullptr, "(ends at 0x100001000, past the image)"},
  };
  for (const auto& [write_extra, edit, line] : cases) {
    SCOPED_TRACE(line);
    const bool ok = !edit && *write_extra == '\0';  // as written, nothing forced
    ASSERT_EQ(Pgm(write + Header(write_extra)).exit_code, 0);
    std::string file = Slurp(path);
    // The two present blocks, straight after the header and the map.
    EXPECT_EQ(file.substr(131, 8192), raw.substr(0, 4096) + raw.substr(8192, 4096));
    if (edit) edit(file);
    std::ofstream(path, std::ios::binary) << file;
    const PgmRun inspect = Pgm("inspect '" + path + "'");
    EXPECT_EQ(inspect.exit_code, ok ? 0 : 1) << inspect.err;
    EXPECT_NE(inspect.out.find(line), std::string::npos) << inspect.out;
    const std::string verdict = ok ? "OK" : kFileFormatErrorText;
    EXPECT_NE(inspect.out.find("verdict: " + verdict + "\n"), std::string::npos);
  }
}

// Files of about 2 MiB announcing an image of nearly 4 GiB, judged with 1 GiB
// of address space by the tool, which reads and checks with Load's own
// functions: the cost must follow the file and the regions, not the image.
TEST(TambletPgm, AnnouncedSizeCostsNothingBeyondTheFile) {
  const std::string limit = "ulimit -v 1048576 && ";
  // The sanitizers reserve terabytes of address space for their shadow memory.
  if (Pgm("inspect /dev/null", limit).err.find("Sanitizer") != std::string::npos)
    GTEST_SKIP() << "an address-space limit leaves a sanitizer no room";
  UpdateHeader header{"QX-7", {}, 0x01, 4096, 0xFFFFFFFF, {{0, 0x10000}, {0xFFFF0000, 0xFFFF}}};
  const uint32_t n = BlockCount(header.image_size);
  const auto head = EncodeHeader(header);
  std::string legal(head.begin(), head.end());
  legal.resize(kHeaderSize + 2 * n, '\0');  // no block present
  std::string every = legal;                // every block marked present, four held
  std::fill_n(every.begin() + kHeaderSize, n, '\x01');
  every.insert(kHeaderSize + n, 4 * kBlockSize, '\0');
  const std::pair<std::string, std::string> cases[] = {{legal, "OK"},
                                                       {every, kFileFormatErrorText}};
  for (const auto& [file, verdict] : cases) {
    std::ofstream(TempPath("large.pgm"), std::ios::binary) << file;
    const PgmRun run = Pgm("inspect '" + TempPath("large.pgm") + "'", limit);
    EXPECT_NE(run.out.find("verdict: " + verdict + "\n"), std::string::npos) << run.out << run.err;
  }
}

TEST(TambletPgm, BadUsageComplainsAndWritesNothing) {
  const std::string out = TempPath("out.pgm");
  const std::string good = "write '" + out + "' --region 0:16 --image-size 4096 ";
  const std::string fifo = TempPath("fifo");
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Arguments, exit code, complaint on stderr.
  const std::tuple<std::string, int, const char*> cases[] = {
      {"frob", 2, "argument was not expected: frob"},
      {"", 2, "a command is needed"},
      {"write '" + out + "' --region 0:1 --image-size 4096", 2, "--model is required"},
      {good + Header("--target 0x100"), 2, "--target 0x100: not a number"},
      {good + Header("--region 5"), 2, "expected ADDR:SIZE"},
      {good + Header("--seed"), 2, "--seed: 1 required"},
      {good + Header("--model ABCDEFGHIJKLMNOP"), 2, "at most 15 characters"},
      {good + Header("--model=A --model B"), 2, "--model: At Most 1"},
      {good + Header("--target 0x80"), 2, "below 0x80"},
      {good + Header("--chunk=0"), 2, "at least 1"},
      {good + Header("--region 4000:97"), 2, "does not lie inside"},
      {good + Header("--image x"), 2, "--image excludes --image-size"},
      // A FIFO is no image: read as Load reads, it is refused at once.
      {"write '" + out + "' " + Header() + "--region 0:1 --image " + fifo, 1,
       "fifo: File not found!!"},
  };
  for (const auto& [args, exit_code, complaint] : cases) {
    SCOPED_TRACE(args);
    std::remove(out.c_str());
    const PgmRun run = Pgm(args);
    EXPECT_EQ(run.exit_code, exit_code) << run.err;
    EXPECT_NE(run.err.find(complaint), std::string::npos) << run.err;
    EXPECT_TRUE(Slurp(out).empty());
  }
}

// A write that fails part-way, at a file-size limit (which kills, unless
// ignored, as a full disk would not), or for want of memory, leaves the file it
// was to replace as it was, or no file, and never a temporary beside it.
TEST(TambletPgm, AFailedWriteLeavesTheOldFileWhole) {
  const std::filesystem::path dir = TempPath("dir");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
  const std::string old = (dir / "old.pgm").string(), fresh = (dir / "new.pgm").string();
  ASSERT_EQ(Pgm("write '" + old + "' " + Header() + "--region 0:16 --image-size 4096").exit_code,
            0);
  const std::string before = Slurp(old);
  const std::string memory = "ulimit -v 1048576 && ";
  const bool sanitized =
      Pgm("inspect /dev/null", memory).err.find("Sanitizer") != std::string::npos;
  // Shell words before the tool, its arguments after the output file, the complaint.
  const std::tuple<std::string, std::string, const char*> cases[] = {
      {"ulimit -f 64 && ", "--region 0:0x100000 --image-size 0x100000", "File too large"},
      {"trap '' XFSZ && ulimit -f 64 && ", "--region 0:0x100000 --image-size 0x100000",
       "File too large"},
      {memory, "--region 0:16 --image-size 0xFFFFFFFF", "Not enough memory! try closing"},
  };
  for (const auto& [shell, args, complaint] : cases) {
    if (shell == memory && sanitized) continue;  // the sanitizers need the address space
    for (const std::string& out : {old, fresh}) {
      SCOPED_TRACE(shell + out);
      const PgmRun run = Pgm("write '" + out + "' " + Header() + args, shell);
      EXPECT_EQ(run.exit_code, 1) << run.err;
      EXPECT_NE(run.err.find(complaint), std::string::npos) << run.err;
      EXPECT_TRUE(Slurp(old) == before) << "the old file is now " << Slurp(old).size() << " bytes";
      const auto files = std::distance(std::filesystem::directory_iterator(dir), {});
      EXPECT_EQ(files, 1) << "a new or temporary file was left";
    }
  }
}

// Replacing a file: its owner and group stay where this user may keep them
// (another's needs root), set-user-ID and set-group-ID go, a link leads to the
// file it names (also one not made yet), and the longest name fits.
TEST(TambletPgm, ReplacingKeepsTheOwnerAndFollowsLinks) {
  namespace fs = std::filesystem;
  const fs::path dir = TempPath("replace");
  fs::remove_all(dir);
  fs::create_directory(dir);
  const std::string args = Header() + "--region 0:16 --image-size 4096";
  ASSERT_EQ(Pgm("write '" + TempPath("reference.pgm") + "' " + args).exit_code, 0);
  const std::string reference = Slurp(TempPath("reference.pgm"));
  const fs::path file = dir / "f.pgm", link = dir / "l.pgm";
  const auto make = [&](mode_t mode, uid_t uid, gid_t gid) {
    std::ofstream(file) << "old";
    ASSERT_EQ(::chown(file.c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
  };
  const uid_t me = ::geteuid();
  const gid_t my_group = ::getegid();
  struct Case {
    const char* name;
    bool needs_root;
    std::function<void()> setup;
    fs::path written, lands;
    mode_t mode;
    uid_t uid;
    gid_t gid;
  } cases[] = {
      {"another's set-user-ID file", true, [&] { make(04755, 4321, 4322); }, file, file, 0755, 4321,
       4322},
      {"set-group-ID", false, [&] { make(02775, me, my_group); }, file, file, 0775, me, my_group},
      {"a link to a link to a file", false,
       [&] {
         make(0640, me, my_group);
         fs::create_symlink("f.pgm", dir / "m.pgm");
         fs::create_symlink(dir / "m.pgm", link);
       },
       link, file, 0640, me, my_group},
      {"a link to nothing yet", false, [&] { fs::create_symlink("f.pgm", link); }, link, file, 0,
       me, my_group},
      {"a 248-byte name", false, [] {}, dir / std::string(248, 'n'), dir / std::string(248, 'n'), 0,
       me, my_group},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && me != 0) continue;  // CI runs as root
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
    c.setup();
    const size_t entries = size_t(std::distance(fs::directory_iterator(dir), {}));
    const bool made = !fs::exists(c.lands);
    const PgmRun run = Pgm("write '" + c.written.string() + "' " + args, "umask 022 && ");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(Slurp(c.lands) == reference) << "not what was written";
    struct stat got {};
    if (::lstat(c.lands.c_str(), &got) != 0) {
      ADD_FAILURE() << "no " << c.lands;
      continue;
    }
    EXPECT_TRUE(S_ISREG(got.st_mode));
    EXPECT_EQ(got.st_mode & 07777, c.mode ? c.mode : 0644);
    EXPECT_EQ(got.st_uid, c.uid);
    EXPECT_EQ(got.st_gid, c.gid);
    EXPECT_EQ(fs::is_symlink(c.written), c.written == link) << "the link was replaced";
    // The file, and nothing else new beside it.
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(dir), {})), entries + made);
  }
}

}  // namespace
}  // namespace tamblet
