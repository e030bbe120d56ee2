#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads a standard SVF file statement by statement, in memory bounded by the longest statement:
// statements may span lines and share them, keywords are in any case, comments begin with "!"
// or "//" and run to the end of their line. A UTF-8 byte-order mark is skipped.

struct TSvfToken {
  std::string Text;    // a word in upper case, or the characters of a value without its blanks
  bool Value = false;  // the text stood in parentheses
  int64_t Line = 0;    // where the token begins
  // A value over several lines: the size of Text at each line end inside it.
  std::vector<size_t> LineEnds;

  // The line of Text[offset].
  int64_t LineOf(size_t offset) const;
};

struct TSvfSourceStatement {
  int64_t Line = 0;  // where the statement begins, counted from 1
  std::vector<TSvfToken> Tokens;
};

class TSvfReader {
 public:
  enum TItem : uint8_t { riSTATEMENT, riCOMMENT, riEND, riERROR };

  TSvfReader() = default;
  ~TSvfReader();
  TSvfReader(const TSvfReader&) = delete;
  TSvfReader& operator=(const TSvfReader&) = delete;

  // False when it is not a regular file that can be read; Error() then says why.
  bool Open(const std::string& path);

  // The next statement (riSTATEMENT) or comment (riCOMMENT: `comment` holds its text after the
  // marker, `line` its line). A comment inside a statement comes before that statement.
  // riERROR leaves the reason in Error() and its line in ErrorLine() (0: the file as a whole);
  // the statement it happened in is dropped and reading goes on after its ";", unless the file
  // cannot be read as text at all.
  TItem Next(TSvfSourceStatement& statement, std::string& comment, int64_t& line);
  const std::string& Error() const { return error_; }
  int64_t ErrorLine() const { return error_line_; }

 private:
  int Get();
  void Unget(int c);
  bool AtLineEnd(int c);
  TItem Fail(int64_t line, const std::string& why);
  bool TakeChar(char c);
  bool TextEncoding();

  std::FILE* file_ = nullptr;
  int64_t line_ = 1;
  TSvfSourceStatement partial_;  // the statement being read, kept across comments
  bool in_value_ = false;
  bool in_word_ = false;
  bool skipping_ = false;  // to the ";" of a statement that failed
  bool checked_ = false;   // the start of the file has been looked at
  std::string error_;
  int64_t error_line_ = 0;
};
