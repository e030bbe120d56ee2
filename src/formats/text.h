#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys/Excerpt.h"
#include "sys/Sha256.h"

// Byte-string text helpers shared by scripts, HEX files, effect files and the settings file.
// Lines end in CR LF, LF or CR; a last line without an end counts; the last line end starts
// no extra empty line.

// Removes leading and trailing blanks and control characters (every byte <= ' ').
std::string Trim(std::string_view s);

// What follows the last "/" of `path`: the file's own name.
std::string FileName(const std::string& path);

std::vector<std::string> SplitLines(std::string_view text);

// Number of lines of `text`, counted as SplitLines counts them.
int64_t CountLines(std::string_view text);

// Reads a whole text file as lines. Returns false (and leaves `lines` empty) when the file
// cannot be opened or read, or is not a regular file; `why`, when given, then says which
// ("is a folder", "is not a regular file", or the system's reason).
bool ReadTextLines(const std::string& path, std::vector<std::string>& lines,
                   std::string* why = nullptr);

// Reads a text file line by line without holding it whole (effect files run to many MB).
class LineReader {
 public:
  LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Open(const std::string& path);  // false when the file cannot be opened
  // Reads the lines of `bytes`, already read from a file, as Open would read them.
  void OpenBytes(std::string bytes);
  void Close();
  // The number of lines of the file opened (not the path, which may name another file by now);
  // reading then starts again at the beginning. False when it cannot be read.
  [[nodiscard]] bool Count(int64_t& lines);
  // The SHA-256 of the bytes the lines returned since the start took, their ends included: of
  // exactly what was read, whatever the file holds by now.
  std::string ReadSha256();
  bool IsOpen() const { return file_ != nullptr || from_bytes_; }
  // Next line without its end; false at the end of the file.
  bool Next(std::string& line);
  bool Eof() { return Peek() == EOF; }

 private:
  int Peek();
  bool Fill();
  void Restart();
  std::FILE* file_ = nullptr;
  bool from_bytes_ = false;
  std::string buf_;  // the bytes given, or the piece of the file read last
  size_t at_ = 0;    // the next byte of buf_
  size_t hashed_ = 0;
  TSha256 read_;
};

// Number of lines a LineReader would return, or nullopt when the file cannot be opened.
std::optional<int64_t> CountTextLines(const std::string& path);

// Text to integer: leading blanks, an optional sign, then decimal digits, or hex digits after
// "$" or "0x" (lower-case x only). The whole text must be consumed; empty text and values outside
// [min, max] fail.
std::optional<int64_t> StrToInt(std::string_view text, int64_t min = INT32_MIN,
                                int64_t max = INT32_MAX);

// Outside text for a terminal: every control character (below 0x20, and 0x7F) becomes "\xHH",
// so a device cannot move the cursor, retitle the window or ring the bell. Other bytes are kept.
std::string EscapeControls(std::string_view text);

// Bytes that are not UTF-8 (a Latin-1 file name) as "\xHH", the rest as it is: text that
// shows what the bytes were, where a decoder would put U+FFFD.
std::string EscapeNonUtf8(std::string_view text);

// A time or other figure to a tenth: "11.8".
std::string Tenths(double value);
