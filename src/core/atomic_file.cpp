#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

namespace quenfold_testlibs::core {

namespace {

[[noreturn]] void throwErrno(int err, const std::filesystem::path& path) {
  throw std::system_error(err, std::generic_category(), path.string());
}

// Removes the temporary file unless released: every failure path leaves nothing behind.
class TemporaryFile {
 public:
  TemporaryFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::filesystem::path& path() const { return path_; }
  // Closes the descriptor, reporting a failed close (data not written).
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }
  void release() { path_.clear(); }

 private:
  std::filesystem::path path_;
  int fd_;
};

// mkstemp would make every file owner-only, and learning the umask means setting it, for every
// thread of the process at once; so the file is created exclusively under a random name.
TemporaryFile createBeside(const std::filesystem::path& target, mode_t mode) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path name = temporaryBeside(target);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return TemporaryFile(std::move(name), fd);
    if (errno != EEXIST) throwErrno(errno, target);
  }
  throwErrno(EEXIST, target);
}

}  // namespace

std::filesystem::path temporaryBeside(const std::filesystem::path& target) {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(gen()));
  const std::filesystem::path dir = target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
  return dir / ("." + target.filename().string() + "." + suffix);
}

void replaceWith(const std::filesystem::path& temporary, const std::filesystem::path& target) {
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    throwErrno(err, target);
  }
}

void writeFileAtomically(const std::filesystem::path& target, std::string_view content, FileMode mode) {
  TemporaryFile tmp = createBeside(target, mode == FileMode::OwnerOnly ? 0600 : 0666);
  if (mode == FileMode::OwnerOnly) {
    if (::fchmod(tmp.fd(), 0600) != 0) throwErrno(errno, target);
  } else {
    // An existing output keeps its permissions; a link at the name is replaced, and its target
    // is not looked at.
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        ::fchmod(tmp.fd(), existing.st_mode & 0777) != 0)
      throwErrno(errno, target);
  }
  for (std::size_t off = 0; off < content.size();) {
    const ssize_t n = ::write(tmp.fd(), content.data() + off, content.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, target);
    }
    off += static_cast<std::size_t>(n);
  }
  if (::fsync(tmp.fd()) != 0) throwErrno(errno, target);
  if (tmp.close() != 0) throwErrno(errno, target);
  const std::filesystem::path name = tmp.path();
  tmp.release();
  replaceWith(name, target);
}

}  // namespace quenfold_testlibs::core
