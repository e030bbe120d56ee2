#pragma once

#include <string>
#include <string_view>
#include <utility>

// A file written through a temporary file beside it that Commit renames over it, so the file is
// never seen half-written: until Commit succeeds the old file (or none) stays as it was, and a
// file abandoned without Commit leaves no temporary behind. A symbolic link is followed to its
// target, which is replaced in its own folder. The new file keeps the old one's permission bits,
// owner, group and extended attributes (ACLs among them) as far as the system lets us; a new
// file gets mode 0644. A file the user may not write, one without any write permission bit, or
// one that is not a regular file is left untouched: Open refuses it.
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
  // The temporary file while it exists (after Open, before Commit or its failure), else "".
  const std::string& TempPath() const { return tmp_; }

 private:
  bool Flush();
  void Abandon();

  std::string path_, tmp_, buffer_, error_;
  int fd_ = -1;
  int errno_ = 0;  // the first failed write
};
