#pragma once
// A device port taken by one open at a time, across programs: a `flock` on a
// file named after the port, in the user's runtime folder, there while held. Backends that share
// a port between programs (JACK, the ALSA sequencer) would otherwise let two
// windows drive one device at once; the kernel refuses a second rawmidi open,
// but not one over another path to the same port.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "midi/midi_layer.h"

namespace tamblet::midi {

// The folder of the lock files, opened and checked: ours, mode 0700, a real
// folder. Another user who could add files to it, or swap it for a link, could
// otherwise hold every lock or none, and two updates would run on one device.
class LockFolder {
 public:
  // $XDG_RUNTIME_DIR/tamblet, or /tmp/tamblet-UID when that variable is unset,
  // not absolute, or names no folder of this user's.
  static LockFolder OpenDefault();
  // The same choice from a given runtime folder (null: unset) and fallback.
  static LockFolder Open(const char* runtime_dir, const std::string& fallback);

  LockFolder() = default;
  ~LockFolder();
  LockFolder(LockFolder&& other) noexcept;
  LockFolder& operator=(LockFolder&& other) noexcept;
  LockFolder(const LockFolder&) = delete;
  LockFolder& operator=(const LockFolder&) = delete;

  bool trusted() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }  // also when not trusted
  // Why the folder cannot be trusted, as a sentence for people; empty when it can.
  const std::string& problem() const { return problem_; }

 private:
  int fd_ = -1;
  std::string path_;
  std::string problem_;
};

class DeviceLock {
 public:
  enum class Result {
    kTaken,
    kHeld,    // by another open, in this program or another
    kNoLock,  // no safe place for it: never an open without the lock, so refuse the port
  };

  DeviceLock() = default;  // holds nothing
  ~DeviceLock();
  DeviceLock(DeviceLock&& other) noexcept;
  DeviceLock& operator=(DeviceLock&& other) noexcept;
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  Result Take(std::string_view port);  // in LockFolder::OpenDefault()
  Result Take(LockFolder folder, std::string_view port);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  LockFolder folder_;  // kept open while held: the file is removed through it
  std::string name_;
};

// What an open answers for a Take's result: MMSYSERR_NOERROR when taken.
inline MMRESULT LockResult(DeviceLock::Result result) {
  return result == DeviceLock::Result::kTaken  ? MMSYSERR_NOERROR
         : result == DeviceLock::Result::kHeld ? TAMBLET_ERR_LOCKED
                                               : TAMBLET_ERR_NOLOCK;
}

// Why the last Take on this thread ended in kNoLock, as a sentence for people.
std::string DeviceLockProblem();
// Who held the lock when the last Take on this thread ended in kHeld; none
// when the system did not name a process that is still there.
std::optional<PortHolder> DeviceLockHolder();

// Each flock held, as /proc/locks lists it: by whom, on which device and inode.
struct FlockLine {
  uint32_t pid = 0;
  uint32_t major = 0, minor = 0;
  uint64_t inode = 0;
};
std::vector<FlockLine> FlockLines(std::string_view proc_locks);

// The process holding an flock on the file of device major:minor and `inode`,
// as the text of /proc/locks names it; none when no process does.
std::optional<uint32_t> FlockHolderPid(std::string_view proc_locks, uint32_t major, uint32_t minor,
                                       uint64_t inode);

// A file name for `port`: letters, digits, '.', '_' and '-' kept, every other
// byte as %XX; a long name is cut and ends in a hash of the whole.
std::string DeviceLockFileName(std::string_view port);

}  // namespace tamblet::midi
