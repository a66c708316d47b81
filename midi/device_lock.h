#pragma once
// A device port taken by one open at a time, across programs: a `flock` on a
// file named after the port, in the user's runtime folder, there while held. Backends that share
// a port between programs (JACK, the ALSA sequencer) would otherwise let two
// windows drive one device at once; the kernel refuses a second rawmidi open,
// but not one over another path to the same port.

#include <string>
#include <string_view>

namespace tamblet::midi {

class DeviceLock {
 public:
  DeviceLock() = default;  // holds nothing
  ~DeviceLock();
  DeviceLock(DeviceLock&& other) noexcept;
  DeviceLock& operator=(DeviceLock&& other) noexcept;
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // False when another open, in this program or another, holds `port`. Where
  // no lock file can be made the port is taken unlocked, as before locks.
  bool Take(std::string_view port);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string path_;
};

// The folder of the lock files: $XDG_RUNTIME_DIR/tamblet, or /tmp/tamblet-UID
// when that is unset; empty when neither can be made safely.
std::string DeviceLockFolder();

// A file name for `port`: letters, digits, '.', '_' and '-' kept, every other
// byte as %XX; a long name is cut and ends in a hash of the whole.
std::string DeviceLockFileName(std::string_view port);

}  // namespace tamblet::midi
