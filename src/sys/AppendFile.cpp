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
  // Only a regular file: a FIFO nobody reads would block the open for good, and a terminal or
  // pipe would mix the records into other output.
  TFileStatus st;
  if (FileStatus(path, st, why) == TLook::Found && !st.Regular) return why = NotRegular(st), false;
  Fd = RetryOnSignal([&] {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  });
  if (Fd < 0) return why = SysErrorText(errno), false;
  if (!FdStatus(Fd, st, why)) return Close(), false;
  if (!st.Regular) return Close(), why = NotRegular(st), false;
  for (const int own : {STDOUT_FILENO, STDERR_FILENO}) {
    TFileStatus o;
    std::string ignored;
    if (FdStatus(own, o, ignored) && o.SameFile(st))
      return Close(), why = "it is this program's own output", false;
  }
  return true;
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
