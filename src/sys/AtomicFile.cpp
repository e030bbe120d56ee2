#include "sys/AtomicFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sys/Excerpt.h"
#include "sys/Files.h"
#include "sys/SysError.h"

namespace {

constexpr size_t kBufferBytes = 1 << 16;

constexpr int kMaxLinks = 40;  // the kernel's own limit for one path

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string Reason(const std::string& path, int err) {
  return Excerpt(path) + ": " + SysErrorText(err);
}

// Follows `path` to the file a chain of symbolic links ends at, which need not exist yet.
// False, with errno set, when a link cannot be read or the chain does not end.
bool FollowLinks(std::string& path) {
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n < 0) return false;
    if (n == static_cast<ssize_t>(sizeof target)) {
      errno = ENAMETOOLONG;
      return false;
    }
    path = target[0] == '/' ? std::string(target, n) : Folder(path) + std::string(target, n);
  }
  errno = ELOOP;
  return false;
}

// Why an existing file must not be replaced, or "".
std::string Untouchable(const std::string& path, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return Excerpt(path) + " is not a regular file";
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return Reason(path, errno);
  // Even where the system would let us (root), a file without write bits was made read-only.
  if ((st.st_mode & 0222) == 0) return Excerpt(path) + " is read-only";
  return {};
}

// Extended attributes hold ACLs and labels the operator set; one the system will not let us
// set again is passed over.
void CopyAttributes(const std::string& from, int to) {
  ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
  if (size <= 0) return;
  std::string names(static_cast<size_t>(size), '\0');
  size = ::listxattr(from.c_str(), names.data(), names.size());
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
    const char* name = &names[at];
    ssize_t length = ::getxattr(from.c_str(), name, nullptr, 0);
    if (length < 0) continue;
    std::string value(static_cast<size_t>(length), '\0');
    length = ::getxattr(from.c_str(), name, value.data(), value.size());
    if (length >= 0) ::fsetxattr(to, name, value.data(), static_cast<size_t>(length), 0);
  }
}

// Owner and group first: a change of owner clears the set-id bits that the mode then restores.
bool KeepMetadata(int fd, const std::string& old_path, const struct stat* old) {
  if (!old) return ::fchmod(fd, 0644) == 0;
  if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
    // Not ours to give away: the file becomes the writer's, keeping the group if it may.
    [[maybe_unused]] const int group_kept = ::fchown(fd, static_cast<uid_t>(-1), old->st_gid);
  }
  CopyAttributes(old_path, fd);
  return ::fchmod(fd, old->st_mode & 07777) == 0;
}

}  // namespace

TAtomicFile::~TAtomicFile() {
  Abandon();
}

bool TAtomicFile::Open() {
  if (!FollowLinks(path_)) {
    error_ = "cannot follow the link " + Reason(path_, errno);
    return false;
  }
  struct stat st;
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  if (exists) {
    error_ = Untouchable(path_, st);
    if (!error_.empty()) return false;
  }
  const std::string dir = Folder(path_);
  tmp_ = dir + "." + path_.substr(dir.size()) + ".XXXXXX";
  fd_ = ::mkstemp(tmp_.data());
  if (fd_ < 0) {
    error_ = "cannot create a temporary file in " + Reason(dir.empty() ? "." : dir, errno);
    tmp_.clear();
    return false;
  }
  if (!KeepMetadata(fd_, path_, exists ? &st : nullptr)) {
    errno_ = errno;
    error_ = "cannot write " + Reason(path_, errno_);
  }
  return true;
}

bool TAtomicFile::Write(std::string_view bytes) {
  if (fd_ < 0 || errno_ != 0) return false;
  buffer_.append(bytes);
  return buffer_.size() < kBufferBytes || Flush();
}

bool TAtomicFile::Flush() {
  if (errno_ == 0 && !WriteAll(fd_, buffer_.data(), buffer_.size())) errno_ = errno;
  buffer_.clear();
  if (errno_ != 0) error_ = "cannot write " + Reason(path_, errno_);
  return errno_ == 0;
}

bool TAtomicFile::Commit() {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "cannot write " + Excerpt(path_) + ": not open";
    return false;
  }
  if (Flush() && ::fsync(fd_) != 0) errno_ = errno;
  if (::close(fd_) != 0 && errno_ == 0) errno_ = errno;
  fd_ = -1;
  if (errno_ == 0 && ::rename(tmp_.c_str(), path_.c_str()) != 0) errno_ = errno;
  if (errno_ != 0) {
    error_ = "cannot write " + Reason(path_, errno_);
    Abandon();
    return false;
  }
  tmp_.clear();
  return true;
}

void TAtomicFile::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tmp_.empty()) ::unlink(tmp_.c_str());
  tmp_.clear();
}
