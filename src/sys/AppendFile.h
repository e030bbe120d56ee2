#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sys/Files.h"

// A file shared by many processes. Each piece is appended with a single write under an
// exclusive lock, so pieces never interleave or tear.
class TSharedAppendFile {
 public:
  TSharedAppendFile() = default;
  ~TSharedAppendFile();
  TSharedAppendFile(const TSharedAppendFile&) = delete;
  TSharedAppendFile& operator=(const TSharedAppendFile&) = delete;

  // Opens (creates) `path` for appending, without blocking. Refuses anything but a regular
  // file, and this process's own stdout or stderr. False with `why` alone (no file name).
  [[nodiscard]] bool Open(const std::string& path, std::string& why);
  // REQUIRES: Open succeeded. On failure the file is left as it was before the call.
  [[nodiscard]] bool Append(std::string_view bytes, std::string& why);

 private:
  void Close();
  int Fd = -1;
};

// A file one process writes from its start, piece by piece, such as a trace. Opened as
// TSharedAppendFile opens (a regular or new file, never blocking), but emptied first. The
// first write that fails is kept: what comes after it is not written, and Error() says why.
class TStreamFile {
 public:
  TStreamFile() = default;
  ~TStreamFile();
  TStreamFile(const TStreamFile&) = delete;
  TStreamFile& operator=(const TStreamFile&) = delete;

  [[nodiscard]] bool Open(const std::string& path, std::string& why);
  void Write(std::string_view bytes);
  const std::string& Error() const { return Failure; }

 private:
  int Fd = -1;
  std::string Failure;
};

// Appends `bytes` to the open file `fd` in one piece under its exclusive lock. Refused, with
// the file as it was, when the file would grow past `max_size`; a write that fails is cut off.
[[nodiscard]] bool AppendLocked(int fd, std::string_view bytes, uint64_t max_size,
                                std::string& why);
// The same on the file at `path` as it is once its lock is taken: a file renamed away while the
// lock was waited for is not written to. A new file gets `mode`.
[[nodiscard]] bool AppendToPath(const std::string& path, std::string_view bytes, unsigned mode,
                                uint64_t max_size, std::string& why);
// Renames the file at `path` to `to` under the lock AppendToPath takes, so that every append
// lands either in the file moved away or in a new one at `path`. NotFound: there was none.
TLook TakeFileAway(const std::string& path, const std::string& to, std::string& why);
