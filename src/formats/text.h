#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Byte-string text helpers shared by scripts, HEX files, effect files and the settings file.
// Lines end in CR LF, LF or CR; a last line without an end counts; the last line end starts
// no extra empty line.

// Removes leading and trailing blanks and control characters (every byte <= ' ').
std::string Trim(std::string_view s);

// What follows the last "/" of `path`: the file's own name.
std::string FileName(const std::string& path);

std::vector<std::string> SplitLines(std::string_view text);

// Reads a whole text file as lines. Returns false (and leaves `lines` empty) when the file
// cannot be opened or read, or is not a regular file.
bool ReadTextLines(const std::string& path, std::vector<std::string>& lines);

// Reads a text file line by line without holding it whole (effect files run to many MB).
class LineReader {
 public:
  LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Open(const std::string& path);  // false when the file cannot be opened
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // Next line without its end; false at the end of the file.
  bool Next(std::string& line);
  bool Eof() const;

 private:
  int Get();
  std::FILE* file_ = nullptr;
  int pending_ = EOF;  // a byte read ahead after a CR
  bool has_pending_ = false;
};

// Number of lines a LineReader would return, or nullopt when the file cannot be opened.
std::optional<int64_t> CountTextLines(const std::string& path);

// Text to integer: leading blanks, an optional sign, then decimal digits, or hex digits after
// "$" or "0x" (lower-case x only). The whole text must be consumed; empty text and values outside
// [min, max] fail.
std::optional<int64_t> StrToInt(std::string_view text, int64_t min = INT32_MIN,
                                int64_t max = INT32_MAX);

// Outside data (script lines, file names, settings values, device replies) as a message quotes
// it: unchanged up to `max` characters, otherwise its first `max` characters and a mark that
// says how many more were cut. A quote never floods the status box or a terminal.
inline constexpr size_t kExcerptMax = 256;
std::string Excerpt(std::string_view text, size_t max = kExcerptMax);
