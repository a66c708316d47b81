// Device locks: one holder per port across opens, a safe folder, file names
// that any port name maps to.

#include "midi/device_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tamblet::midi {
namespace {

TEST(DeviceLock, OneHolderAtATimeInItsOwnFolder) {
  char folder[] = "/tmp/tamblet-lock-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("XDG_RUNTIME_DIR", folder, 1);
  DeviceLock first, second, other;
  EXPECT_TRUE(first.Take("jack default QELMAR SIM:in") && first.held());
  EXPECT_FALSE(second.Take("jack default QELMAR SIM:in"));
  EXPECT_TRUE(other.Take("jack default QELMAR SIM:out") && other.held());
  DeviceLock moved = std::move(first);
  EXPECT_FALSE(second.Take("jack default QELMAR SIM:in"));
  moved.Release();
  EXPECT_TRUE(second.Take("jack default QELMAR SIM:in") && second.held());
  second.Release();  // and its file goes with it
  EXPECT_FALSE(std::filesystem::exists(std::string(folder) + "/tamblet/" +
                                       DeviceLockFileName("jack default QELMAR SIM:in")));
  EXPECT_EQ(DeviceLockFolder(), std::string(folder) + "/tamblet");
  struct stat info {};
  ASSERT_EQ(stat((std::string(folder) + "/tamblet").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A folder that is a link is not used: ports open unlocked.
  other.Release();
  std::filesystem::remove_all(std::string(folder) + "/tamblet");
  std::filesystem::create_directory_symlink("/tmp", std::string(folder) + "/tamblet");
  EXPECT_EQ(DeviceLockFolder(), "");
  EXPECT_TRUE(first.Take("x") && !first.held());
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DeviceLockFolder(), "/tmp/tamblet-" + std::to_string(geteuid()));
  std::filesystem::remove_all(folder);
}

TEST(DeviceLock, AnyPortNameMakesOneSafeFileName) {
  const std::string long_a(300, 'a'), long_b = std::string(299, 'a') + "b";
  const struct {
    std::string port, file;
  } cases[] = {
      {"alsa hw:1,0,0 out", "alsa%20hw%3A1%2C0%2C0%20out"},
      {"jack default QELMAR SIM:in", "jack%20default%20QELMAR%20SIM%3Ain"},
      {"../x/\xe9.-_", "..%2Fx%2F%E9.-_"},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceLockFileName(c.port), c.file);
  EXPECT_EQ(DeviceLockFileName(long_a).size(), 200u);
  EXPECT_NE(DeviceLockFileName(long_a), DeviceLockFileName(long_b));
}

}  // namespace
}  // namespace tamblet::midi
