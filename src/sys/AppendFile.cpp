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
int OpenRegularForWriting(const std::string& path, int flags, std::string& why) {
  TFileStatus st;
  if (FileStatus(path, st, why) == TLook::Found && !st.Regular) return why = NotRegular(st), -1;
  const int fd = RetryOnSignal([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | flags, 0644);
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
  // The lock keeps even a write the system splits in one piece; the size taken under it lets
  // a failed write be cut back off.
  TFileStatus st;
  std::string ignored;
  const bool locked = RetryOnSignal([&] { return ::flock(Fd, LOCK_EX); }) == 0;
  const bool sized = FdStatus(Fd, st, ignored);
  const bool ok = locked && sized && WriteAll(Fd, bytes.data(), bytes.size());
  const int saved = errno;
  if (!ok && sized) (void)!::ftruncate(Fd, static_cast<off_t>(st.Size));
  if (locked) RetryOnSignal([&] { return ::flock(Fd, LOCK_UN); });
  if (!ok) why = SysErrorText(saved);
  return ok;
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
