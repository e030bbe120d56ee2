#include "app/ReplaceFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "formats/text.h"

namespace {

constexpr int kMaxLinks = 40;  // the kernel's own limit for one path

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string Reason(const std::string& path, int err) {
  return Excerpt(path) + ": " + std::strerror(err);
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

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceFile(const std::string& path, const std::string& text, std::string& error) {
  std::string target = path;
  if (!FollowLinks(target)) {
    error = "cannot follow the link " + Reason(path, errno);
    return false;
  }
  struct stat st;
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists) {
    error = Untouchable(target, st);
    if (!error.empty()) return false;
  }
  const std::string dir = Folder(target);
  std::string tmp = dir + "." + target.substr(dir.size()) + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    error = "cannot create a temporary file in " + Reason(dir.empty() ? "." : dir, errno);
    return false;
  }
  bool ok =
      KeepMetadata(fd, target, exists ? &st : nullptr) && WriteAll(fd, text) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    error = "cannot write " + Reason(target, saved);
  }
  return ok;
}
