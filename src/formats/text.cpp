#include "formats/text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "formats/hex.h"
#include "sys/Files.h"
#include "sys/Sha256.h"

std::string FileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

namespace {

// Lines counted piece by piece as LineReader reads them: CR LF, LF or CR end one, and a last
// line without its end counts. A CR LF may fall across two pieces.
class TLineCount {
 public:
  void Add(std::string_view piece) {
    for (const char c : piece) {
      if (c == '\n' && after_cr_) {
        after_cr_ = false;
        continue;
      }
      after_cr_ = c == '\r';
      open_ = c != '\n' && c != '\r';
      ends_ += !open_;
    }
  }
  int64_t Lines() const { return ends_ + (open_ ? 1 : 0); }

 private:
  int64_t ends_ = 0;
  bool after_cr_ = false;
  bool open_ = false;  // bytes since the last end
};

}  // namespace

int64_t CountLines(std::string_view text) {
  TLineCount count;
  count.Add(text);
  return count.Lines();
}

bool ReadTextLines(const std::string& path, std::vector<std::string>& lines, std::string* why) {
  lines.clear();
  std::string text, error;
  if (ReadWholeFile(path, text, error) != TLook::Found) {
    if (why) *why = error;
    return false;
  }
  lines = SplitLines(text);
  return true;
}

LineReader::~LineReader() {
  Close();
}

bool LineReader::Open(const std::string& path) {
  Close();
  std::string ignored;
  return OpenRegularFile(path, file_, ignored) == TLook::Found;
}

void LineReader::OpenBytes(std::string bytes) {
  Close();
  buf_ = std::move(bytes);
  from_bytes_ = true;
}

bool LineReader::Count(int64_t& lines) {
  if (from_bytes_) {
    lines = CountLines(buf_);
  } else {
    if (!file_) return false;
    std::rewind(file_);
    TLineCount count;
    char piece[65536];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, file_)) > 0;) {
      count.Add(std::string_view(piece, n));
    }
    if (std::ferror(file_)) return false;
    std::rewind(file_);
    buf_.clear();
    lines = count.Lines();
  }
  Restart();
  return true;
}

std::string LineReader::ReadSha256() {
  read_.Add(std::string_view(buf_).substr(hashed_, at_ - hashed_));
  hashed_ = at_;
  return read_.Hex();
}

void LineReader::Restart() {
  at_ = hashed_ = 0;
  read_.Restart();
}

void LineReader::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  from_bytes_ = false;
  buf_.clear();
  Restart();
}

// The next piece of the file; what was taken of the last one is hashed before it goes.
bool LineReader::Fill() {
  if (!file_) return false;
  ReadSha256();
  buf_.resize(65536);
  buf_.resize(std::fread(buf_.data(), 1, buf_.size(), file_));
  at_ = hashed_ = 0;
  return !buf_.empty();
}

int LineReader::Peek() {
  if (at_ >= buf_.size() && !Fill()) return EOF;
  return static_cast<unsigned char>(buf_[at_]);
}

bool LineReader::Next(std::string& line) {
  line.clear();
  int c = Peek();
  if (c == EOF) return false;
  while (c != EOF && c != '\n' && c != '\r') {
    line.push_back(static_cast<char>(c));
    ++at_;
    c = Peek();
  }
  if (c == EOF) return true;
  ++at_;
  if (c == '\r' && Peek() == '\n') ++at_;
  return true;
}

std::optional<int64_t> CountTextLines(const std::string& path) {
  LineReader r;
  if (!r.Open(path)) return std::nullopt;
  int64_t n = 0;
  std::string line;
  while (r.Next(line)) ++n;
  return n;
}

std::optional<int64_t> StrToInt(std::string_view text, int64_t min, int64_t max) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && text[i + 1] == 'x') {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  // Accumulate as a magnitude bounded by the larger limit, so overflow is caught early.
  uint64_t limit;
  if (neg)
    limit = min >= 0 ? 0 : static_cast<uint64_t>(-(min + 1)) + 1;
  else
    limit = max < 0 ? 0 : static_cast<uint64_t>(max);
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return std::nullopt;
    if (d >= base) return std::nullopt;
    if (static_cast<uint64_t>(d) > limit || v > (limit - d) / base) return std::nullopt;
    v = v * base + d;
  }
  int64_t r = !neg ? static_cast<int64_t>(v) : v == 0 ? 0 : -static_cast<int64_t>(v - 1) - 1;
  if (r < min || r > max) return std::nullopt;
  return r;
}

// Not printf: a program with a locale set would write "11,8".
std::string Tenths(double value) {
  char text[400];  // the widest double in fixed notation
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return std::string(text, end.ptr);
}

namespace {

// Length of the well-formed multi-byte UTF-8 sequence at the front of `text`, else 0.
size_t Utf8Length(std::string_view text) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = b(0);
  const size_t n = lead > 0xF4 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || text.size() < n) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((b(i) & 0xC0) != 0x80) return 0;
  if (n == 3 && ((lead == 0xE0 && b(1) < 0xA0) || (lead == 0xED && b(1) >= 0xA0))) return 0;
  if (n == 4 && ((lead == 0xF0 && b(1) < 0x90) || (lead == 0xF4 && b(1) >= 0x90))) return 0;
  return n;
}

// The same for a character a terminal only shows: the C1 controls (U+0080 to U+009F) act as
// ESC does.
size_t ShownUtf8(std::string_view text) {
  const size_t n = Utf8Length(text);
  return n == 2 && static_cast<unsigned char>(text[0]) == 0xC2 &&
                 static_cast<unsigned char>(text[1]) < 0xA0
             ? 0
             : n;
}

// `text` with each byte `kept` does not take (a length of 0 at that byte) as "\xHH".
template <class Kept>
std::string EscapeBytes(std::string_view text, Kept kept) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = kept(text.substr(i));
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += "\\x" + ByteToHex(static_cast<unsigned char>(text[i]));
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  return EscapeBytes(text, [](std::string_view t) -> size_t {
    const auto u = static_cast<unsigned char>(t[0]);
    return u < 0x80 ? (u >= 0x20 && u != 0x7F) : ShownUtf8(t);
  });
}

std::string EscapeNonUtf8(std::string_view text) {
  return EscapeBytes(text, [](std::string_view t) -> size_t {
    return static_cast<unsigned char>(t[0]) < 0x80 ? 1 : Utf8Length(t);
  });
}
