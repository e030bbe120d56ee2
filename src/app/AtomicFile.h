#pragma once

#include <string>
#include <string_view>
#include <utility>

// A file written through a temporary file beside it that Commit renames over it, so the file is
// never seen half-written: until Commit succeeds the old file (or none) stays as it was, and a
// file abandoned without Commit leaves no temporary behind. A file it replaces keeps its mode.
class TAtomicFile {
 public:
  explicit TAtomicFile(std::string path) : path_(std::move(path)) {}
  ~TAtomicFile();
  TAtomicFile(const TAtomicFile&) = delete;
  TAtomicFile& operator=(const TAtomicFile&) = delete;

  // Creates the temporary file. False, with the reason in Error(), when it cannot.
  bool Open();
  // Appends bytes (buffered). False, with the reason in Error(), once a write has failed.
  bool Write(std::string_view bytes);
  // Flushes, syncs and renames over the path. False, with the reason, when any step failed.
  bool Commit();
  const std::string& Error() const { return error_; }

 private:
  bool Flush();
  void Abandon();

  std::string path_, tmp_, buffer_, error_;
  int fd_ = -1;
  int errno_ = 0;  // the first failed write
};
