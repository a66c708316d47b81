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
  // Through a link, the file it names is replaced, as writing into it would have.
  std::string target = path;
  struct stat old {};
  const bool exists = stat(path.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return fail("not a regular file");
  if (exists) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return fail(std::strerror(errno));
    target = real;
    std::free(real);
  }
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string temporary = (slash == std::string::npos ? "" : folder) + "." +
                          target.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));

  // A new file gets the mode a plain create would give it; a replaced one keeps its own.
  mode_t mode = old.st_mode & 07777;
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
