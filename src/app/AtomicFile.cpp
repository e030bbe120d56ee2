#include "app/AtomicFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kBufferBytes = 1 << 16;

}  // namespace

TAtomicFile::~TAtomicFile() {
  Abandon();
}

bool TAtomicFile::Open() {
  const size_t slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  tmp_ = dir + "." + path_.substr(dir.size()) + ".XXXXXX";
  fd_ = ::mkstemp(tmp_.data());
  if (fd_ < 0) {
    error_ = "cannot create a temporary file in " + (dir.empty() ? std::string(".") : dir) + ": " +
             std::strerror(errno);
    tmp_.clear();
    return false;
  }
  struct stat st;
  const mode_t mode = ::stat(path_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (::fchmod(fd_, mode) != 0) {
    errno_ = errno;
    error_ = "cannot write " + path_ + ": " + std::strerror(errno_);
  }
  return true;
}

bool TAtomicFile::Write(std::string_view bytes) {
  if (fd_ < 0 || errno_ != 0) return false;
  buffer_.append(bytes);
  return buffer_.size() < kBufferBytes || Flush();
}

bool TAtomicFile::Flush() {
  size_t done = 0;
  while (done < buffer_.size() && errno_ == 0) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n >= 0)
      done += static_cast<size_t>(n);
    else if (errno != EINTR)
      errno_ = errno;
  }
  buffer_.clear();
  if (errno_ != 0) error_ = "cannot write " + path_ + ": " + std::strerror(errno_);
  return errno_ == 0;
}

bool TAtomicFile::Commit() {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "cannot write " + path_ + ": not open";
    return false;
  }
  if (Flush() && ::fsync(fd_) != 0) errno_ = errno;
  if (::close(fd_) != 0 && errno_ == 0) errno_ = errno;
  fd_ = -1;
  if (errno_ == 0 && ::rename(tmp_.c_str(), path_.c_str()) != 0) errno_ = errno;
  if (errno_ != 0) {
    error_ = "cannot write " + path_ + ": " + std::strerror(errno_);
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
