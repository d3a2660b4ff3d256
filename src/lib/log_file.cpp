// Opens the run's log file safely: owner-only folders and file made where missing, never
// reached through a symbolic link, and refused when it is not the tool's own regular file.
#include "lib/log_file.h"

#include "lib/commonlib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

namespace quenfold_testlibs::lib {

namespace {
// Owns a descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

[[noreturn]] void failSoft(const std::string& path, int err) { throw SoftFailure{path + ": " + std::strerror(err)}; }

bool isLink(int at, const std::string& name) {
  struct stat st {};
  return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens folder `name` under `at`, making it owner-only when it is missing. A folder made here is
// opened without following links (a link there now was put there since); an existing one is
// followed only when `follow` (the folders the user named). Folders that already exist keep
// their permissions: they may be shared on purpose.
Fd openFolder(int at, const std::string& name, bool follow, const std::string& shown) {
  const bool made = ::mkdirat(at, name.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) failSoft(shown, errno);
  Fd fd(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (made || !follow ? O_NOFOLLOW : 0)));
  if (fd.get() < 0) {
    const int err = errno;
    if (isLink(at, name)) throw LogFileError("refusing to write the log under " + shown + ": it is a symbolic link");
    if (err == ENOTDIR) throw LogFileError("refusing to write the log under " + shown + ": it is not a folder");
    failSoft(shown, err);
  }
  // mkdirat's mode is cut by the umask; set it whole.
  if (made && ::fchmod(fd.get(), 0700) != 0) failSoft(shown, errno);
  return fd;
}

// Opens (creating, owner-only) the log file in the folder `dir` for appending, refusing a link, a
// file that is not a regular file, one with other names (hard links) and one of another user.
Fd openLogFile(int dir, const std::string& shown) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  bool made = false;
  Fd fd(::openat(dir, kLogFileName, kFlags | O_CREAT | O_EXCL, 0600));
  if (fd.get() >= 0) {
    made = true;
  } else if (errno == EEXIST) {
    // O_NONBLOCK: a FIFO planted here must not hold the run until someone reads it.
    fd = Fd(::openat(dir, kLogFileName, kFlags | O_NONBLOCK));
  }
  if (fd.get() < 0) {
    const int err = errno;
    if (isLink(dir, kLogFileName))
      throw LogFileError("refusing to write the log to " + shown + ": it is a symbolic link");
    if (err == ENXIO) throw LogFileError("refusing to write the log to " + shown + ": it is not a regular file");
    failSoft(shown, err);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) failSoft(shown, errno);
  if (!S_ISREG(st.st_mode)) throw LogFileError("refusing to write the log to " + shown + ": it is not a regular file");
  if (st.st_nlink != 1)
    throw LogFileError("refusing to write the log to " + shown + ": it has " + std::to_string(st.st_nlink) +
                       " names (hard links)");
  if (st.st_uid != ::geteuid())
    throw LogFileError("refusing to write the log to " + shown + ": it belongs to another user");
  if (made && ::fchmod(fd.get(), 0600) != 0) failSoft(shown, errno);
  if (!made) ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);  // back to blocking writes
  return fd;
}

}  // namespace

int openLogLocation(const std::string& backup_folder, const std::string& path) {
  const std::filesystem::path folder(backup_folder);
  Fd at(::open(folder.is_absolute() ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) failSoft(backup_folder, errno);
  std::filesystem::path reached = folder.root_path();
  for (const auto& part : folder.relative_path()) {
    if (part.empty() || part == ".") continue;
    reached /= part;
    at = openFolder(at.get(), part.string(), true, reached.string());
  }
  Fd logDir = openFolder(at.get(), kLogFolder, false, std::filesystem::path(path).parent_path().string());
  return openLogFile(logDir.get(), path).release();
}

}  // namespace quenfold_testlibs::lib
