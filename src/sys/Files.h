#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Files and folders as the system sees them. Every call here answers whether the thing was
// there at all apart from whether it could be read: a missing file (ENOENT, or a part of the
// path that is not a folder: ENOTDIR) is often no error for the caller, a file it may not read is.

// Calls `call` again while it fails with EINTR: a signal handled meanwhile is no failure.
template <class Call>
auto RetryOnSignal(Call call) -> decltype(call()) {
  decltype(call()) result;
  while ((result = call()) == -1 && errno == EINTR) {
  }
  return result;
}

enum class TLook { Found, NotFound, Failed };

struct TFileStatus {
  bool Regular = false;
  bool Folder = false;
  bool Link = false;  // only from LinkStatus
  uint64_t Size = 0;
  uint64_t Device = 0;
  uint64_t Inode = 0;
  unsigned Type = 0;  // the st_mode file type bits

  bool SameFile(const TFileStatus& other) const {
    return Device == other.Device && Inode == other.Inode;
  }
  // "a FIFO", "a folder", ... for what is not a regular file.
  const char* Kind() const;
};

// What `path` is, following symbolic links; `error` is the system's reason when Failed.
TLook FileStatus(const std::string& path, TFileStatus& out, std::string& error);
// The same without following a symbolic link at the end of `path`.
TLook LinkStatus(const std::string& path, TFileStatus& out, std::string& error);
// What an open descriptor refers to.
bool FdStatus(int fd, TFileStatus& out, std::string& error);

// Opens `path` for reading when it is a regular file, and not one the kernel makes up (/proc,
// /sys); a FIFO in its place does not block the open. On Failed `error` says "is a folder",
// "is not a regular file", "is a file the kernel makes up ..." or the system's reason.
TLook OpenRegularFile(const std::string& path, std::FILE*& file, std::string& error);
// Opens `relative` ('/' between its parts, none "." or "..") below folder `base` for reading
// when it is a regular file reached through no symbolic link, so nothing outside `base` is read
// in its name; `st` is what was opened. On Failed `error` says "is a symbolic link", "is a FIFO"
// ... or the system's reason.
TLook OpenBelow(const std::string& base, const std::string& relative, std::FILE*& file,
                TFileStatus& st, std::string& error);
// The file at `path`, at most its first `max_bytes` and never past the size it had when opened,
// read as OpenRegularFile opens it.
TLook ReadWholeFile(const std::string& path, std::string& bytes, std::string& error,
                    size_t max_bytes = SIZE_MAX);
// The same of `relative` below `base`, opened as OpenBelow opens it.
TLook ReadBelow(const std::string& base, const std::string& relative, std::string& bytes,
                std::string& error, size_t max_bytes);

// The names in folder `path`, without "." and "..", in the system's order. A file in the
// folder's place is Failed, not NotFound.
TLook ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error);

// Writes all of `bytes` to `fd`; false, with errno set, when a write fails.
bool WriteAll(int fd, const char* bytes, size_t size);

// Makes `path` and the folders above it that are missing; those it makes get `mode`.
bool MakeFolders(const std::string& path, unsigned mode, std::string& error);
// Creates the file at `path` with `mode` when there is none; an existing one is left as it is.
bool CreateFileOnce(const std::string& path, unsigned mode, std::string& error);
// Renames within one file system; the new name is replaced when it exists.
bool RenameFile(const std::string& from, const std::string& to, std::string& error);
// Removes a file; one that is not there is no error.
bool RemoveFile(const std::string& path, std::string& error);
// The process's current folder, ending with '/'; "" when it cannot be told.
std::string CurrentFolder();
// The environment variable `name`; "" when unset.
std::string EnvironmentValue(const char* name);

// Lines of a file, a pipe, a FIFO or /dev/stdin read as they come, each without its '\n'.
// A FIFO that no writer opens within `writer_wait_ms` ends the reading with an error instead of
// waiting for good.
class TLineReader {
 public:
  TLineReader() = default;
  ~TLineReader();
  TLineReader(const TLineReader&) = delete;
  TLineReader& operator=(const TLineReader&) = delete;

  [[nodiscard]] bool Open(const std::string& path, int writer_wait_ms, std::string& error);
  // The next line; false at the end or on an error, which Error() then names.
  bool Next(std::string& line);
  const std::string& Error() const { return Failure; }

 private:
  bool Fill();
  int Fd = -1;
  int WriterWaitMs = 0;
  bool Fifo = false, Started = false, AtEnd = false;
  std::string Buffer, Failure;
  size_t Used = 0;
};
