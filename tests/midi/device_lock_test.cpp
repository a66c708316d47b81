// Device locks: one holder per port across opens and moves, only in a folder that no
// one else can touch, and file names that any port name maps to.

#include "midi/device_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace tamblet::midi {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kOtherUser = 54321;
using R = DeviceLock::Result;

// Folders prepared as a careless or hostile other user might leave them, and
// whether a lock is kept there. Nothing is ever made in a folder refused.
TEST(DeviceLock, OnlyAFolderOfOursAloneIsUsed) {
  char base_name[] = "/tmp/tamblet-lock-test-XXXXXX";
  ASSERT_NE(mkdtemp(base_name), nullptr);
  const std::string base = base_name, run = base + "/run", theirs = base + "/theirs",
                    fallback = base + "/fallback", elsewhere = base + "/elsewhere";
  const auto folder = [](const std::string& path, mode_t mode, uid_t owner = geteuid()) {
    fs::create_directory(path);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
  };
  const struct {
    const char* what;
    std::function<void()> prepare;
    const char* runtime_dir;  // XDG_RUNTIME_DIR; null: unset
    std::string used;         // the folder chosen
    std::string problem;      // "": trusted
  } cases[] = {
      {"ours", [&] { folder(run, 0700); }, run.c_str(), run + "/tamblet", ""},
      {"unset", [] {}, nullptr, fallback, ""},
      {"not absolute", [] {}, "run", fallback, ""},
      {"missing", [] {}, run.c_str(), fallback, ""},
      {"runtime another user's", [&] { folder(theirs, 0700, kOtherUser); }, theirs.c_str(),
       fallback, ""},
      {"another user's", [&] { folder(fallback, 0700, kOtherUser); }, nullptr, fallback,
       fallback + " belongs to another user (uid 54321)"},
      {"open to all", [&] { folder(fallback, 0777); }, nullptr, fallback,
       fallback + " has mode 0777, not 0700"},
      {"a link to a folder of ours",
       [&] { folder(elsewhere, 0700), fs::create_directory_symlink(elsewhere, fallback); }, nullptr,
       fallback, fallback + " is a symbolic link, not a folder"},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(fallback.c_str(), 0600), 0); }, nullptr, fallback,
       fallback + " is not a folder"},
      // Ours, but not as we make it: said, not replaced by the fallback.
      {"runtime's folder open to group", [&] { folder(run, 0700), folder(run + "/tamblet", 0770); },
       run.c_str(), run + "/tamblet", run + "/tamblet has mode 0770, not 0700"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string_view(c.what).find("another") != std::string_view::npos && geteuid() != 0)
      continue;  // only root gives a folder away
    for (const auto& path : {run, theirs, fallback, elsewhere}) fs::remove_all(path);
    c.prepare();
    LockFolder opened = LockFolder::Open(c.runtime_dir, fallback);
    EXPECT_EQ(opened.path(), c.used);
    EXPECT_EQ(opened.problem(), c.problem);
    EXPECT_EQ(opened.trusted(), c.problem.empty());
    DeviceLock lock, again, other;
    const std::string port = "alsa hw:1,0,0 out";
    const auto taken = lock.Take(std::move(opened), port);
    const std::string file = c.used + "/" + DeviceLockFileName(port);
    const auto take = [&](DeviceLock& l, const std::string& p) {
      return l.Take(LockFolder::Open(c.runtime_dir, fallback), p);
    };
    struct stat info {};
    if (c.problem.empty()) {
      // One holder per port, kept across a move; the file goes with the lock.
      EXPECT_EQ(taken, R::kTaken);
      EXPECT_EQ(take(other, "alsa hw:1,0,0 in"), R::kTaken);
      DeviceLock moved = std::move(lock);
      EXPECT_EQ(take(again, port), R::kHeld);
      ASSERT_EQ(stat(c.used.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0700u);
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
      moved.Release();
      EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
      EXPECT_EQ(take(again, port), R::kTaken);
    } else {
      EXPECT_EQ(taken, R::kNoLock);
      EXPECT_EQ(DeviceLockProblem(), c.problem);
      EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
      EXPECT_TRUE(!fs::exists(elsewhere) || fs::is_empty(elsewhere));
    }
  }
  fs::remove_all(base);
}

// A lock file that became a link, or one with contents, is never followed nor
// truncated: the link is refused, the contents stay.
TEST(DeviceLock, LockFileIsNeverFollowedNorTruncated) {
  char base_name[] = "/tmp/tamblet-lock-test-XXXXXX";
  ASSERT_NE(mkdtemp(base_name), nullptr);
  const std::string base = base_name, folder = base + "/locks", target = base + "/target";
  std::FILE* f = std::fopen(target.c_str(), "w");
  std::fputs("keep", f);
  std::fclose(f);
  const std::string port = "p", file = folder + "/" + DeviceLockFileName(port);
  DeviceLock lock;
  EXPECT_EQ(lock.Take(LockFolder::Open(nullptr, folder), port), R::kTaken);
  lock.Release();
  fs::create_symlink(target, file);
  EXPECT_EQ(lock.Take(LockFolder::Open(nullptr, folder), port), R::kNoLock);
  EXPECT_NE(DeviceLockProblem().find("cannot be opened"), std::string::npos);
  fs::remove(file);
  fs::copy_file(target, file);
  EXPECT_EQ(lock.Take(LockFolder::Open(nullptr, folder), port), R::kTaken);
  EXPECT_EQ(fs::file_size(file), 4u);
  lock.Release();
  EXPECT_EQ(fs::file_size(target), 4u);
  fs::remove_all(base);
}

// Who keeps a second update off: the kernel's list of locks names the process
// by the lock file's device and inode; only a granted flock counts.
TEST(DeviceLock, TheHolderIsNamedByTheKernelsListOfLocks) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 11 00:1a:77 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 22 00:1b:77 0 EOF\n"
      "3: FLOCK  ADVISORY  WRITE 33 00:1a:78 0 EOF\n"
      "3: -> FLOCK  ADVISORY  WRITE 44 00:1a:77 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 55 fd:10:77 0 EOF\n"
      "5: FLOCK  ADVISORY  WRITE -1 00:1c:77 0 EOF\n"
      "6: FLOCK  ADVISORY  WRITE 66 00:1a:77 0 EOF";
  const struct {
    uint32_t major, minor;
    uint64_t inode;
    std::optional<uint32_t> pid;
  } cases[] = {
      {0, 0x1a, 77, 66}, {0, 0x1b, 77, 22}, {0xfd, 0x10, 77, 55},
      {0, 0x1a, 79, {}}, {0, 0x1c, 77, {}},  // a holder this namespace cannot see
  };
  for (const auto& c : cases) EXPECT_EQ(FlockHolderPid(locks, c.major, c.minor, c.inode), c.pid);

  // The real thing: a process of another name, then this one, then none.
  char base_name[] = "/tmp/tamblet-lock-test-XXXXXX";
  ASSERT_NE(mkdtemp(base_name), nullptr);
  const std::string folder = std::string(base_name) + "/locks", port = "jack default X:in";
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(done[1]);
    prctl(PR_SET_NAME, "lock-holder");
    DeviceLock held;
    const char taken = held.Take(LockFolder::Open(nullptr, folder), port) == R::kTaken;
    char byte;
    if (write(ready[1], &taken, 1) == 1) {
      [[maybe_unused]] const ssize_t n = read(done[0], &byte, 1);  // until the test lets go
    }
    _exit(0);
  }
  close(done[0]);
  char taken = 0;
  ASSERT_EQ(read(ready[0], &taken, 1), 1);
  ASSERT_TRUE(taken);
  DeviceLock lock;
  EXPECT_EQ(lock.Take(LockFolder::Open(nullptr, folder), port), R::kHeld);
  EXPECT_EQ(DeviceLockHolder(), (PortHolder{static_cast<uint32_t>(child), "lock-holder"}));
  close(done[1]);
  waitpid(child, nullptr, 0);
  DeviceLock first;
  ASSERT_EQ(first.Take(LockFolder::Open(nullptr, folder), port), R::kTaken);
  EXPECT_EQ(DeviceLockHolder(), std::nullopt);
  EXPECT_EQ(lock.Take(LockFolder::Open(nullptr, folder), port), R::kHeld);
  char name[17] = "";
  prctl(PR_GET_NAME, name);
  EXPECT_EQ(DeviceLockHolder(), (PortHolder{static_cast<uint32_t>(getpid()), name}));
  close(ready[0]);
  close(ready[1]);
  fs::remove_all(base_name);
}

TEST(DeviceLock, AnyPortNameMakesOneSafeFileName) {
  const std::string long_a(300, 'a'), long_b = std::string(299, 'a') + "b";
  const std::pair<std::string, std::string> cases[] = {
      {"alsa hw:1,0,0 out", "alsa%20hw%3A1%2C0%2C0%20out"},
      {"jack default QELMAR SIM:in", "jack%20default%20QELMAR%20SIM%3Ain"},
      {"../x/\xe9.-_", "..%2Fx%2F%E9.-_"},
  };
  for (const auto& [port, file] : cases) EXPECT_EQ(DeviceLockFileName(port), file);
  EXPECT_EQ(DeviceLockFileName(long_a).size(), 200u);
  EXPECT_NE(DeviceLockFileName(long_a), DeviceLockFileName(long_b));
}

}  // namespace
}  // namespace tamblet::midi
