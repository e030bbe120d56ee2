#include "sys/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "sys/SysError.h"

namespace {

TFileStatus FromStat(const struct stat& st) {
  TFileStatus s;
  s.Regular = S_ISREG(st.st_mode);
  s.Folder = S_ISDIR(st.st_mode);
  s.Link = S_ISLNK(st.st_mode);
  s.Size = static_cast<uint64_t>(st.st_size);
  s.Device = st.st_dev;
  s.Inode = st.st_ino;
  s.Type = st.st_mode & S_IFMT;
  return s;
}

TLook Failure(int err, std::string& error) {
  error = SysErrorText(err);
  return err == ENOENT || err == ENOTDIR ? TLook::NotFound : TLook::Failed;
}

TLook Look(int (*call)(const char*, struct stat*), const std::string& path, TFileStatus& out,
           std::string& error) {
  struct stat st {};
  if (RetryOnSignal([&] { return call(path.c_str(), &st); }) != 0) return Failure(errno, error);
  out = FromStat(st);
  return TLook::Found;
}

// The kernel's own files claim a size of 0 or 4096 whatever they hold, and some never end
// (/proc/self/pagemap): reading one could stall any reader, and no package holds one.
bool MadeUpByTheKernel(int fd) {
  struct statfs fs {};
  if (RetryOnSignal([&] { return ::fstatfs(fd, &fs); }) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
      return true;
    default:
      return false;
  }
}

constexpr char kMadeUp[] = "is a file the kernel makes up (/proc, /sys), not a stored one";

}  // namespace

const char* TFileStatus::Kind() const {
  switch (Type) {
    case S_IFREG:
      return "a regular file";
    case S_IFIFO:
      return "a FIFO";
    case S_IFDIR:
      return "a folder";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    default:
      return "something else";
  }
}

TLook FileStatus(const std::string& path, TFileStatus& out, std::string& error) {
  return Look(::stat, path, out, error);
}

TLook LinkStatus(const std::string& path, TFileStatus& out, std::string& error) {
  return Look(::lstat, path, out, error);
}

bool FdStatus(int fd, TFileStatus& out, std::string& error) {
  struct stat st {};
  if (RetryOnSignal([&] { return ::fstat(fd, &st); }) != 0) {
    error = SysErrorText(errno);
    return false;
  }
  out = FromStat(st);
  return true;
}

TLook OpenRegularFile(const std::string& path, std::FILE*& file, std::string& error) {
  // Anything but a regular file is refused before it is opened: opening a FIFO or a device may
  // block for good or act on it; O_NONBLOCK and the second look cover a file swapped between.
  file = nullptr;
  TFileStatus st;
  if (const TLook look = FileStatus(path, st, error); look != TLook::Found) return look;
  if (st.Folder) return error = "is a folder", TLook::Failed;
  if (!st.Regular) return error = "is not a regular file", TLook::Failed;
  const int fd =
      RetryOnSignal([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return Failure(errno, error);
  std::string ignored;
  const bool regular = FdStatus(fd, st, ignored) && st.Regular;
  const bool made_up = regular && MadeUpByTheKernel(fd);
  if (!regular || made_up || !(file = ::fdopen(fd, "rb"))) {
    ::close(fd);
    error = made_up ? kMadeUp : "is not a regular file";
    return TLook::Failed;
  }
  return TLook::Found;
}

namespace {

// The part `name` of folder `dir`, looked at without following a link, then opened with `flags`
// and O_NOFOLLOW so a link put there meanwhile fails the open; -1 with `look` set otherwise.
int OpenPart(int dir, const std::string& name, int flags, bool folder, TFileStatus& st,
             TLook& look, std::string& error) {
  struct stat s {};
  if (RetryOnSignal([&] { return ::fstatat(dir, name.c_str(), &s, AT_SYMLINK_NOFOLLOW); }) != 0) {
    look = Failure(errno, error);
    return -1;
  }
  st = FromStat(s);
  look = TLook::Failed;
  if (st.Link) return error = "is a symbolic link", -1;
  if (folder && !st.Folder) return look = Failure(ENOTDIR, error), -1;
  if (!folder && !st.Regular) return error = std::string("is ") + st.Kind(), -1;
  const int fd = RetryOnSignal(
      [&] { return ::openat(dir, name.c_str(), flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) {
    look = Failure(errno, error);
    return -1;
  }
  TFileStatus now;
  if (!FdStatus(fd, now, error) || !now.SameFile(st) || now.Type != st.Type) {
    ::close(fd);
    error = "changed while it was opened";
    return -1;
  }
  if (!folder && MadeUpByTheKernel(fd)) {
    ::close(fd);
    error = kMadeUp;
    return -1;
  }
  st = now;
  look = TLook::Found;
  return fd;
}

}  // namespace

TLook OpenBelow(const std::string& base, const std::string& relative, std::FILE*& file,
                TFileStatus& st, std::string& error) {
  file = nullptr;
  int dir = RetryOnSignal([&] { return ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (dir < 0) return Failure(errno, error);
  TLook look = TLook::Found;
  for (size_t start = 0; dir >= 0;) {
    const size_t slash = relative.find('/', start);
    const bool last = slash == std::string::npos;
    const std::string part = relative.substr(start, last ? std::string::npos : slash - start);
    const int fd = OpenPart(dir, part, last ? O_NONBLOCK : O_DIRECTORY, !last, st, look, error);
    ::close(dir);
    dir = fd;
    if (last || fd < 0) break;
    start = slash + 1;
  }
  if (dir < 0) return look;
  if (!(file = ::fdopen(dir, "rb"))) {
    look = Failure(errno, error);
    ::close(dir);
  }
  return look;
}

namespace {

// At most `max_bytes` of `f`, which is closed.
TLook ReadOpenFile(std::FILE* f, std::string& bytes, std::string& error, size_t max_bytes) {
  // What the file held when opened: one that grows meanwhile (a log) still ends.
  if (TFileStatus st; FdStatus(::fileno(f), st, error))
    max_bytes = static_cast<size_t>(std::min<uint64_t>(max_bytes, st.Size));
  error.clear();
  char buf[65536];
  size_t n;
  while (bytes.size() < max_bytes &&
         (n = std::fread(buf, 1, std::min(sizeof buf, max_bytes - bytes.size()), f)) > 0) {
    bytes.append(buf, n);
  }
  const int read_error = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (read_error == 0) return TLook::Found;
  error = SysErrorText(read_error);
  return TLook::Failed;
}

}  // namespace

TLook ReadWholeFile(const std::string& path, std::string& bytes, std::string& error,
                    size_t max_bytes) {
  bytes.clear();
  std::FILE* f = nullptr;
  if (const TLook look = OpenRegularFile(path, f, error); look != TLook::Found) return look;
  return ReadOpenFile(f, bytes, error, max_bytes);
}

TLook ReadBelow(const std::string& base, const std::string& relative, std::string& bytes,
                std::string& error, size_t max_bytes) {
  bytes.clear();
  std::FILE* f = nullptr;
  TFileStatus st;
  if (const TLook look = OpenBelow(base, relative, f, st, error); look != TLook::Found) return look;
  return ReadOpenFile(f, bytes, error, max_bytes);
}

TLook ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error) {
  names.clear();
  DIR* dir = ::opendir(path.c_str());
  if (!dir && errno == ENOTDIR) return error = SysErrorText(ENOTDIR), TLook::Failed;
  if (!dir) return Failure(errno, error);
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int err = errno;
  ::closedir(dir);
  if (err == 0) return TLook::Found;
  error = SysErrorText(err);
  return TLook::Failed;
}

bool WriteAll(int fd, const char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = RetryOnSignal([&] { return ::write(fd, bytes + done, size - done); });
    if (n == 0) errno = EIO;  // a write that takes nothing would never end
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool MakeFolders(const std::string& path, unsigned mode, std::string& error) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST) continue;
    error = "cannot make the folder " + part + ": " + SysErrorText(errno);
    return false;
  }
  TFileStatus st;
  if (FileStatus(path, st, error) == TLook::Found && st.Folder) return true;
  error = "cannot make the folder " + path + ": " + (error.empty() ? "not a folder" : error);
  return false;
}

bool CreateFileOnce(const std::string& path, unsigned mode, std::string& error) {
  const int fd = RetryOnSignal([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK,
                  static_cast<mode_t>(mode));
  });
  if (fd >= 0) return ::close(fd), true;
  if (errno == EEXIST) return true;
  error = SysErrorText(errno);
  return false;
}

bool RenameFile(const std::string& from, const std::string& to, std::string& error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  error = SysErrorText(errno);
  return false;
}

bool RemoveFile(const std::string& path, std::string& error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  error = SysErrorText(errno);
  return false;
}

std::string CurrentFolder() {
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return "";
  std::string dir = buf;
  return dir.back() == '/' ? dir : dir + '/';
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

TLineReader::~TLineReader() {
  if (Fd >= 0) ::close(Fd);
}

bool TLineReader::Open(const std::string& path, int writer_wait_ms, std::string& error) {
  // Non-blocking, so that opening a FIFO nobody writes returns at once; the wait for its
  // writer is bounded in Fill.
  Fd = RetryOnSignal([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (Fd < 0) return error = SysErrorText(errno), false;
  TFileStatus st;
  if (!FdStatus(Fd, st, error)) return false;
  if (st.Folder) return error = "is a folder", false;
  Fifo = st.Type == S_IFIFO;
  WriterWaitMs = writer_wait_ms;
  return true;
}

bool TLineReader::Fill() {
  if (Used > 0) Buffer.erase(0, Used), Used = 0;
  char buf[65536];
  for (;;) {
    const ssize_t n = RetryOnSignal([&] { return ::read(Fd, buf, sizeof buf); });
    if (n > 0) {
      Started = true;
      Buffer.append(buf, static_cast<size_t>(n));
      return true;
    }
    if (n < 0 && errno != EAGAIN) return Failure = SysErrorText(errno), false;
    // A FIFO reads as ended while no writer has opened it yet: that end is waited for, boundedly.
    if (n == 0 && (!Fifo || Started)) return AtEnd = true, false;
    pollfd p{Fd, POLLIN, 0};
    const int ready = RetryOnSignal([&] { return ::poll(&p, 1, Started ? -1 : WriterWaitMs); });
    if (ready < 0) return Failure = SysErrorText(errno), false;
    if (ready == 0) {
      Failure = "nothing was written to it within " + std::to_string(WriterWaitMs / 1000) + " s";
      return false;
    }
    // A writer came and went without a byte.
    if (!(p.revents & POLLIN) && (p.revents & POLLHUP)) return AtEnd = true, false;
    Started = Started || n < 0;  // a writer is there: from now on its end is the end
  }
}

bool TLineReader::Next(std::string& line) {
  for (;;) {
    const size_t end = Buffer.find('\n', Used);
    if (end != std::string::npos) {
      line.assign(Buffer, Used, end - Used);
      Used = end + 1;
      return true;
    }
    if (AtEnd || !Failure.empty() || Fd < 0) break;
    if (!Fill()) break;
  }
  if (Used < Buffer.size() && Failure.empty()) {  // a last line without its '\n'
    line.assign(Buffer, Used, std::string::npos);
    Used = Buffer.size();
    return true;
  }
  return false;
}
