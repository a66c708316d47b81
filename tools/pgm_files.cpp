#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "tools/pgm_commands.h"

namespace tamblet::pgm {
namespace {

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Where writing to `path` lands: the last name followed through its links, as
// opening it would, also to a name that does not exist yet. Empty with errno
// set when the links loop.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    std::string to(static_cast<size_t>(link.st_size) + 1, '\0');
    const ssize_t n = readlink(path.c_str(), to.data(), to.size());
    if (n < 0) return "";
    to.resize(static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    path = to.starts_with('/') || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
  }
  errno = ELOOP;
  return "";
}

}  // namespace

// The bytes go to a temporary file beside the target, which replaces it only
// once they are all on disk: a full disk or a crash leaves the old file whole.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::ostream& err) {
  const auto fail = [&](const char* what) {
    err << "tamblet-pgm: cannot write " << path << ": " << what << "\n";
    return false;
  };
  // A file-size limit then makes a failed write, cleaned up after, not a
  // death that leaves the temporary behind.
  std::signal(SIGXFSZ, SIG_IGN);
  // Through a link, the file it names is replaced, as writing into it would have;
  // a link to nothing yet makes the file it names.
  const std::string target = FollowLinks(path);
  if (target.empty()) return fail(std::strerror(errno));
  struct stat old {};
  const bool exists = stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return fail("not a regular file");
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  // Short, so that it fits wherever the final name does.
  std::string temporary = (slash == std::string::npos ? "" : folder) + ".tamblet-XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));

  // A new file gets the mode a plain create would give it. A replaced one keeps
  // its owner and group where this user may give them (root, or a group of
  // ours) and its mode, but never set-user-ID or set-group-ID: what is written
  // now is not the program someone once allowed to run as its owner.
  mode_t mode = old.st_mode & 07777 & ~mode_t{S_ISUID | S_ISGID};
  if (exists && fchown(fd, old.st_uid, old.st_gid) != 0) {
    // Refused (EPERM) to one who is not root: the group alone, if it is one of ours.
    [[maybe_unused]] const int group = fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  if (!exists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  const bool written = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
  const int error = errno;
  if (close(fd) != 0 || !written || rename(temporary.c_str(), target.c_str()) != 0) {
    const int reason = written ? errno : error;
    unlink(temporary.c_str());
    return fail(std::strerror(reason));
  }
  // The rename itself lasts once the folder is on disk too.
  if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace tamblet::pgm
