#include "Target.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "Writers.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace stiscan {

namespace {

namespace fs = std::filesystem;

constexpr size_t kNameMax = 255;  // bytes of one name in a folder
constexpr char kSuffix[] = ".part";

enum class Kind { kNew, kFile, kFolder, kOther };

// What holds the name now; a link is what it is, not what it points to (but a link to a folder is one).
Kind KindOf(const std::string& path) {
#if defined(_WIN32)
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (!fs::exists(status)) {
    return Kind::kNew;
  }
  if (fs::is_regular_file(status)) {
    return Kind::kFile;
  }
  return fs::is_directory(path, ec) ? Kind::kFolder : Kind::kOther;
#else
  struct stat info = {};
  if (lstat(path.c_str(), &info) != 0) {
    return Kind::kNew;
  }
  if (S_ISREG(info.st_mode)) {
    return Kind::kFile;
  }
  return S_ISDIR(info.st_mode) || (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ? Kind::kFolder
                                                                                            : Kind::kOther;
#endif
}

// Removes a temporary file an earlier run left (killed before it could): a regular file of this user
// with one link, that no running stiscan holds. False, touching nothing, for anything else.
bool RemoveLeftover(const std::string& temporary) {
#if defined(_WIN32)
  // A file another program has open cannot be removed.
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(temporary, ec)) && std::remove(temporary.c_str()) == 0;
#else
  const int fd = open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info = {};
  const bool leftover = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                        info.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0;
  const bool removed = leftover && unlink(temporary.c_str()) == 0;
  close(fd);
  return removed;
#endif
}

// Creates the temporary file, new: never through a link, never over anything but a leftover. The file
// stays locked while open, so that another run does not take it for a leftover.
int CreateTemporary(const std::string& temporary, std::string* reason) {
  for (int attempt = 0;; ++attempt) {
#if defined(_WIN32)
    const int fd = _open(temporary.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      flock(fd, LOCK_EX | LOCK_NB);
    }
#endif
    if (fd >= 0) {
      return fd;
    }
    const int error = errno;
    if (error != EEXIST) {
      *reason = SystemReason(error);
      return -1;
    }
    if (attempt > 0 || !RemoveLeftover(temporary)) {
      *reason = temporary + " is in the way, and not a file an earlier run left: it is not touched";
      return -1;
    }
  }
}

void CloseDescriptor(int fd) {
#if defined(_WIN32)
  _close(fd);
#else
  close(fd);
#endif
}

}  // namespace

std::string TemporaryName(const std::string& path) {
#if defined(_WIN32)
  static constexpr char kSeparators[] = "/\\";
#else
  static constexpr char kSeparators[] = "/";
#endif
  const size_t slash = path.find_last_of(kSeparators);
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t length = path.size() - start;
  if (length + sizeof kSuffix - 1 > kNameMax) {
    length = kNameMax - (sizeof kSuffix - 1);
    while (length > 0 && (static_cast<unsigned char>(path[start + length]) & 0xC0) == 0x80) {
      --length;  // not inside a UTF-8 character
    }
  }
  return path.substr(0, start + length) + kSuffix;
}

bool TargetFile::Check(const std::string& path, std::string* reason) {
  switch (KindOf(path)) {
    case Kind::kFolder:
      *reason = "it is a folder";
      return false;
    case Kind::kOther:
#if !defined(_WIN32)
      // A FIFO is not opened here: that would wait for its reader. A link to nothing is made.
      if (access(path.c_str(), W_OK) != 0 && errno != ENOENT) {
        *reason = SystemReason(errno);
        return false;
      }
#endif
      return true;
    case Kind::kNew:
    case Kind::kFile:
      break;
  }
  const std::string temporary = TemporaryName(path);
  const int fd = CreateTemporary(temporary, reason);
  if (fd < 0) {
    return false;
  }
  CloseDescriptor(fd);
  std::remove(temporary.c_str());
  return true;
}

bool TargetFile::Open(const std::string& path, const std::atomic<bool>& giveUp, std::string* reason) {
  Discard();
  path_ = path;
  const Kind kind = KindOf(path);
  if (kind == Kind::kFolder) {
    *reason = "it is a folder";
    return false;
  }
  if (kind == Kind::kOther) {
#if defined(_WIN32)
    (void)giveUp;
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
#else
    int fd = -1;
    // Opened without waiting: a FIFO without a reader (ENXIO) is tried again until one comes.
    while ((fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666)) < 0 &&
           errno == ENXIO && !giveUp.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    struct stat info = {};
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) {
        close(fd);
        fd = -1;
      }
    }
    file_ = fd >= 0 ? fdopen(fd, "wb") : nullptr;
#endif
    if (file_ == nullptr) {
      *reason = SystemReason(errno != 0 ? errno : EACCES);
      return false;
    }
    return true;
  }
  temporary_ = TemporaryName(path);
  const int fd = CreateTemporary(temporary_, reason);
  if (fd < 0) {
    temporary_.clear();
    return false;
  }
#if !defined(_WIN32)
  // A file replaced keeps its permissions: the new one takes the old one's, not those of the umask.
  struct stat replaced = {};
  if (kind == Kind::kFile && stat(path.c_str(), &replaced) == 0) {
    fchmod(fd, replaced.st_mode & 0777);
  }
#endif
  file_ =
#if defined(_WIN32)
      _fdopen(fd, "w+b");
#else
      fdopen(fd, "w+b");
#endif
  if (file_ == nullptr) {
    *reason = SystemReason(errno != 0 ? errno : EIO);
    CloseDescriptor(fd);
    Discard();
    return false;
  }
  return true;
}

bool TargetFile::Commit(std::string* reason) {
  errno = 0;
  bool ok = file_ != nullptr && std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ok) {
    *reason = SystemReason(errno != 0 ? errno : EIO);
  } else if (!temporary_.empty()) {
    std::error_code ec;
    fs::rename(temporary_, path_, ec);
    ok = !ec;
    if (ok) {
      temporary_.clear();
    } else {
      *reason = ec.message();
    }
  }
  Discard();
  return ok;
}

void TargetFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty()) {
    std::remove(temporary_.c_str());
    temporary_.clear();
  }
}

}  // namespace stiscan
