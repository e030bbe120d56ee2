#include "engines/svfreader.h"

#include <sys/stat.h>

#include <utility>

TSvfReader::~TSvfReader() {
  if (file_) std::fclose(file_);
}

bool TSvfReader::Open(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  file_ = std::fopen(path.c_str(), "rb");
  return file_ != nullptr;
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
  return true;
}

TSvfReader::TItem TSvfReader::Fail(int64_t line, const std::string& why) {
  error_ = why;
  error_line_ = line;
  return riERROR;
}

TSvfReader::TItem TSvfReader::Next(TSvfSourceStatement& statement, std::string& comment,
                                   int64_t& line) {
  if (!file_) return Fail(line_, "file not open");
  for (;;) {
    int c = Get();
    if (c == EOF) {
      if (partial_.Tokens.empty()) return riEND;
      return Fail(partial_.Line,
                  in_value_ ? "value not closed by \")\"" : "statement not ended by \";\"");
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
    if (c == ';' && !in_value_) {
      statement = std::move(partial_);
      partial_ = {};
      in_word_ = false;
      return riSTATEMENT;
    }
    if (!TakeChar(static_cast<char>(c))) return riERROR;
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
    partial_.Tokens.push_back({{}, true});
    in_value_ = true;
    in_word_ = false;
    return true;
  }
  if (!in_word_) partial_.Tokens.push_back({});
  in_word_ = true;
  partial_.Tokens.back().Text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  return true;
}
