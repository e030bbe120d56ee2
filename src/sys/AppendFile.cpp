#include "sys/AppendFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "sys/Files.h"
#include "sys/SysError.h"

namespace {

std::string NotRegular(const TFileStatus& st) {
  return std::string("it is ") + st.Kind() + ", not a regular file";
}

// Only a regular file: a FIFO nobody reads would block the open for good, and a terminal or
// pipe would mix the lines into other output.
int OpenRegularForWriting(const std::string& path, int flags, std::string& why,
                          unsigned mode = 0644) {
  TFileStatus st;
  if (FileStatus(path, st, why) == TLook::Found && !st.Regular) return why = NotRegular(st), -1;
  const int fd = RetryOnSignal([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | flags,
                  static_cast<mode_t>(mode));
  });
  if (fd < 0) return why = SysErrorText(errno), -1;
  if (!FdStatus(fd, st, why)) return ::close(fd), -1;
  if (!st.Regular) return ::close(fd), why = NotRegular(st), -1;
  for (const int own : {STDOUT_FILENO, STDERR_FILENO}) {
    TFileStatus o;
    std::string ignored;
    if (FdStatus(own, o, ignored) && o.SameFile(st))
      return ::close(fd), why = "it is this program's own output", -1;
  }
  return fd;
}

}  // namespace

TSharedAppendFile::~TSharedAppendFile() {
  Close();
}

void TSharedAppendFile::Close() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

bool TSharedAppendFile::Open(const std::string& path, std::string& why) {
  Close();
  Fd = OpenRegularForWriting(path, O_APPEND, why);
  return Fd >= 0;
}

bool TSharedAppendFile::Append(std::string_view bytes, std::string& why) {
  return AppendLocked(Fd, bytes, UINT64_MAX, why);
}

namespace {

bool Lock(int fd) {
  return RetryOnSignal([&] { return ::flock(fd, LOCK_EX); }) == 0;
}
void Unlock(int fd) {
  RetryOnSignal([&] { return ::flock(fd, LOCK_UN); });
}

// Whether `fd` is still the file at `path`: one renamed away while its lock was waited for is
// another's now.
bool StillAt(int fd, const std::string& path) {
  TFileStatus open, there;
  std::string ignored;
  return FdStatus(fd, open, ignored) && FileStatus(path, there, ignored) == TLook::Found &&
         open.SameFile(there);
}

}  // namespace

bool AppendLocked(int fd, std::string_view bytes, uint64_t max_size, std::string& why) {
  // The lock keeps even a write the system splits in one piece; the size taken under it lets
  // a failed write be cut back off.
  TFileStatus st;
  std::string ignored;
  const bool locked = Lock(fd);
  const bool sized = FdStatus(fd, st, ignored);
  if (locked && sized && st.Size + bytes.size() > max_size) {
    Unlock(fd);
    why = "it would grow past " + std::to_string(max_size / (1024 * 1024)) + " MiB";
    return false;
  }
  const bool ok = locked && sized && WriteAll(fd, bytes.data(), bytes.size());
  const int saved = errno;
  if (!ok && sized) (void)!::ftruncate(fd, static_cast<off_t>(st.Size));
  if (locked) Unlock(fd);
  if (!ok) why = SysErrorText(saved);
  return ok;
}

bool AppendToPath(const std::string& path, std::string_view bytes, unsigned mode,
                  uint64_t max_size, std::string& why) {
  for (int tries = 0; tries < 100; ++tries) {
    const int fd = OpenRegularForWriting(path, O_APPEND, why, mode);
    if (fd < 0) return false;
    if (!Lock(fd)) {
      why = SysErrorText(errno);
      ::close(fd);
      return false;
    }
    if (!StillAt(fd, path)) {
      ::close(fd);
      continue;
    }
    // Still locked: flock allows the same descriptor to take its own lock again.
    const bool ok = AppendLocked(fd, bytes, max_size, why);
    ::close(fd);
    return ok;
  }
  why = "it keeps being moved away";
  return false;
}

TLook TakeFileAway(const std::string& path, const std::string& to, std::string& why) {
  const int fd = RetryOnSignal([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    if (errno == ENOENT) return TLook::NotFound;
    why = SysErrorText(errno);
    return TLook::Failed;
  }
  const bool locked = Lock(fd);
  const bool moved = locked && ::rename(path.c_str(), to.c_str()) == 0;
  if (!moved) why = SysErrorText(errno);
  if (locked) Unlock(fd);
  ::close(fd);
  return moved ? TLook::Found : TLook::Failed;
}

TStreamFile::~TStreamFile() {
  if (Fd >= 0) ::close(Fd);
}

bool TStreamFile::Open(const std::string& path, std::string& why) {
  if (Fd >= 0) ::close(Fd);
  Failure.clear();
  // Emptied only once it is known to be a regular file.
  Fd = OpenRegularForWriting(path, 0, why);
  if (Fd >= 0 && RetryOnSignal([&] { return ::ftruncate(Fd, 0); }) != 0) {
    why = SysErrorText(errno);
    ::close(Fd);
    Fd = -1;
  }
  return Fd >= 0;
}

void TStreamFile::Write(std::string_view bytes) {
  if (Fd < 0 || !Failure.empty()) return;
  if (!WriteAll(Fd, bytes.data(), bytes.size())) Failure = SysErrorText(errno);
}
