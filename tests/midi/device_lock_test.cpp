// Device locks: one holder per port across opens, a safe folder, file names
// that any port name maps to.

#include "midi/device_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

namespace tamblet::midi {
namespace {

TEST(DeviceLock, OneHolderAtATimeInItsOwnFolder) {
  char runtime[] = "/tmp/tamblet-lock-test-XXXXXX";
  ASSERT_NE(mkdtemp(runtime), nullptr);
  setenv("XDG_RUNTIME_DIR", runtime, 1);
  const std::string folder = std::string(runtime) + "/tamblet", port = "jack default QELMAR SIM:in";
  DeviceLock first, second, other;
  EXPECT_TRUE(first.Take(port) && first.held());
  EXPECT_FALSE(second.Take(port));
  EXPECT_TRUE(other.Take("jack default QELMAR SIM:out") && other.held());
  DeviceLock moved = std::move(first);
  EXPECT_FALSE(second.Take(port));
  moved.Release();
  EXPECT_TRUE(second.Take(port) && second.held());
  second.Release();  // and its file goes with it
  EXPECT_FALSE(std::filesystem::exists(folder + "/" + DeviceLockFileName(port)));
  EXPECT_EQ(DeviceLockFolder(), folder);
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A folder that is a link is not used: ports open unlocked.
  other.Release();
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory_symlink("/tmp", folder);
  EXPECT_EQ(DeviceLockFolder(), "");
  EXPECT_TRUE(first.Take("x") && !first.held());
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DeviceLockFolder(), "/tmp/tamblet-" + std::to_string(geteuid()));
  std::filesystem::remove_all(runtime);
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
