#include "convert/svfreader.h"

#include <algorithm>
#include <utility>

#include "sys/Files.h"

int64_t TSvfToken::LineOf(size_t offset) const {
  const auto ends_before = std::upper_bound(LineEnds.begin(), LineEnds.end(), offset);
  return Line + (ends_before - LineEnds.begin());
}

TSvfReader::~TSvfReader() {
  if (file_) std::fclose(file_);
}

bool TSvfReader::Open(const std::string& path) {
  return OpenRegularFile(path, file_, error_) == TLook::Found;
}

int TSvfReader::Get() {
  return std::getc(file_);
}

void TSvfReader::Unget(int c) {
  if (c != EOF) std::ungetc(c, file_);
}

// Lines end in LF, CR or CR LF, as in every text file the updater reads.
bool TSvfReader::AtLineEnd(int c) {
  if (c == '\r') {
    const int d = Get();
    if (d != '\n') Unget(d);
  } else if (c != '\n') {
    return false;
  }
  ++line_;
  if (in_value_) partial_.Tokens.back().LineEnds.push_back(partial_.Tokens.back().Text.size());
  return true;
}

TSvfReader::TItem TSvfReader::Fail(int64_t line, const std::string& why) {
  error_ = why;
  error_line_ = line;
  return riERROR;
}

// Editors on other systems may start the text with a byte-order mark, or save it as UTF-16,
// whose every other byte is 0 where SVF is plain ASCII.
bool TSvfReader::TextEncoding() {
  checked_ = true;
  unsigned char head[3] = {};
  const size_t n = std::fread(head, 1, sizeof head, file_);
  const bool utf16 =
      n >= 2 && ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF) ||
                 head[0] == 0 || head[1] == 0);
  const bool utf8_mark = n == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
  std::fseek(file_, utf16 ? 0 : utf8_mark ? 3 : 0, utf16 ? SEEK_END : SEEK_SET);
  return !utf16;
}

TSvfReader::TItem TSvfReader::Next(TSvfSourceStatement& statement, std::string& comment,
                                   int64_t& line) {
  if (!file_) return Fail(line_, "file not open");
  if (!checked_ && !TextEncoding())
    return Fail(0, "UTF-16 text, which SVF is not: save the file as ASCII or UTF-8 text");
  for (;;) {
    int c = Get();
    if (c == EOF) {
      if (partial_.Tokens.empty()) return riEND;
      const TItem failed = in_value_
                               ? Fail(partial_.Tokens.back().Line, "value not closed by \")\"")
                               : Fail(partial_.Line, "statement not ended by \";\"");
      partial_ = {};
      in_value_ = false;
      return failed;
    }
    if (c == '/') {
      const int d = Get();
      if (d != '/') Unget(d);
      if (d == '/') c = '!';
    }
    if (c == '!') {
      comment.clear();
      line = line_;
      for (c = Get(); c != EOF && c != '\n' && c != '\r'; c = Get())
        comment.push_back(static_cast<char>(c));
      in_word_ = false;
      if (c != EOF) AtLineEnd(c);
      return riCOMMENT;
    }
    if (AtLineEnd(c)) {
      in_word_ = false;
      continue;
    }
    if (skipping_) {
      skipping_ = c != ';';
      continue;
    }
    if (c == ';' && !in_value_) {
      statement = std::move(partial_);
      partial_ = {};
      in_word_ = false;
      return riSTATEMENT;
    }
    if (!TakeChar(static_cast<char>(c))) {
      // The rest of the statement would only add errors of its own.
      partial_ = {};
      in_value_ = in_word_ = false;
      skipping_ = c != ';';
      return riERROR;
    }
  }
}

bool TSvfReader::TakeChar(char c) {
  const bool blank = static_cast<unsigned char>(c) <= ' ';
  if (in_value_) {
    if (c == ')') {
      in_value_ = false;
    } else if (c == '(' || c == ';') {
      Fail(line_, "value not closed by \")\"");
      return false;
    } else if (!blank) {
      partial_.Tokens.back().Text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
    }
    return true;
  }
  if (blank) {
    in_word_ = false;
    return true;
  }
  if (c == ')') {
    Fail(line_, "\")\" without \"(\"");
    return false;
  }
  if (partial_.Tokens.empty()) partial_.Line = line_;
  if (c == '(') {
    partial_.Tokens.push_back({{}, true, line_, {}});
    in_value_ = true;
    in_word_ = false;
    return true;
  }
  if (!in_word_) partial_.Tokens.push_back({{}, false, line_, {}});
  in_word_ = true;
  partial_.Tokens.back().Text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  return true;
}
