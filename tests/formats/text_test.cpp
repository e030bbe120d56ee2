#include "formats/text.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>

#include "sys/Sha256.h"

using Lines = std::vector<std::string>;

TEST(Text, SplitLines) {
  EXPECT_EQ(SplitLines("a\r\nb\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (Lines{"a", ""}));
  EXPECT_EQ(SplitLines(""), Lines{});
  EXPECT_EQ(SplitLines("a\rb\nc\n\rd"), (Lines{"a", "b", "c", "", "d"}));
  EXPECT_EQ(SplitLines("\n"), (Lines{""}));
  // Never past its end: a sanitizer build sees a read beyond the buffer.
  const std::unique_ptr<char[]> exact(new char[2]{'a', '\r'});
  EXPECT_EQ(SplitLines(std::string_view(exact.get(), 2)), (Lines{"a"}));
  EXPECT_EQ(FileName("/p/Qubra/b.hex"), "b.hex");
  EXPECT_EQ(FileName("b.hex"), "b.hex");
}

TEST(Text, Trim) {
  EXPECT_EQ(Trim("  P0 x.hex \t\r"), "P0 x.hex");
  EXPECT_EQ(Trim(std::string("\x01\x1F"
                             "a b"
                             "\x00",
                             6)),
            "a b");
  EXPECT_EQ(Trim("   "), "");
}

TEST(Text, FilesWholeAndByLine) {
  const std::string path = testing::TempDir() + "text_test_lines.txt";
  // A single byte, and 64 KiB + 1: one byte past a whole read buffer.
  const std::string wide(65536, 'w');
  const std::pair<std::string, Lines> cases[] = {
      {"one\r\ntwo\rthree\n\r\nlast", {"one", "two", "three", "", "last"}},
      {"x", {"x"}},
      {"x\ry", {"x", "y"}},  // the last byte read ahead after a CR
      {wide + "z", {wide + "z"}},
      {wide + "\r\nz", {wide, "z"}},
      {wide.substr(1) + "\r\nz", {wide.substr(1), "z"}},  // a CR LF across two reads
  };
  for (const auto& [text, lines] : cases) {
    SCOPED_TRACE(text.size());
    std::ofstream(path, std::ios::binary) << text;
    Lines whole;
    ASSERT_TRUE(ReadTextLines(path, whole));
    EXPECT_EQ(whole, lines);

    LineReader r;
    ASSERT_TRUE(r.Open(path));
    Lines streamed;
    std::string line;
    while (r.Next(line)) {
      streamed.push_back(line);
      EXPECT_EQ(r.Eof(), streamed.size() == lines.size()) << line;
    }
    EXPECT_EQ(streamed, lines);
    EXPECT_EQ(CountTextLines(path), static_cast<int64_t>(lines.size()));

    // Counted from the file opened, half read, though another now stands at its path; the
    // same from the bytes; reading then starts again, and hashes what it reads.
    LineReader opened, held;
    ASSERT_TRUE(opened.Open(path));
    opened.Next(line);
    std::ofstream(path + ".new", std::ios::binary) << "other\n";
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
    held.OpenBytes(text);
    for (LineReader* reader : {&opened, &held}) {
      int64_t count = -1;
      ASSERT_TRUE(reader->Count(count));
      EXPECT_EQ(count, static_cast<int64_t>(lines.size()));
      Lines again;
      while (reader->Next(line)) again.push_back(line);
      EXPECT_EQ(again, lines);
      EXPECT_EQ(reader->ReadSha256(), Sha256Hex(text));
    }
  }
  std::remove(path.c_str());

  Lines whole{"stale"};
  EXPECT_FALSE(ReadTextLines(path, whole));
  EXPECT_TRUE(whole.empty());
  LineReader r;
  EXPECT_FALSE(r.Open(path));
  EXPECT_FALSE(CountTextLines(path).has_value());

  // What is not a text file says why, never a reason left over from an earlier call. A FIFO
  // nobody writes is refused without waiting for a writer.
  const std::string fifo = testing::TempDir() + "text_test_fifo";
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> unreadable[] = {
      {path, "No such file or directory"},
      {testing::TempDir(), "is a folder"},
      {fifo, "is not a regular file"},
      {"/dev/zero", "is not a regular file"},
  };
  for (const auto& [file, reason] : unreadable) {
    std::string why;
    errno = ENOENT;
    EXPECT_FALSE(ReadTextLines(file, whole, &why)) << file;
    EXPECT_EQ(why, reason) << file;
  }
  std::remove(fifo.c_str());
}

// UTF-8 paths pass whole: only the control characters are escaped.
TEST(Text, EscapeControls) {
  EXPECT_EQ(EscapeControls("r\xC3\xA9p \xE2\x82\xAC\t\x7f"), "r\xC3\xA9p \xE2\x82\xAC\\x09\\x7F");
  // ESC, a C1 CSI as UTF-8 and as a lone byte, Latin-1, a cut sequence, an overlong one,
  // past U+10FFFF, a surrogate.
  EXPECT_EQ(EscapeControls("\x1B[2J \xC2\x9B"
                           "2J \x9B \xE9t\xC3 \xC0\xAF \xF0\x9F\x98\x80 \xFF"
                           "\xF4\x90\x80\x80\xED\xA0\x80"),
            "\\x1B[2J \\xC2\\x9B2J \\x9B \\xE9t\\xC3 \\xC0\\xAF \xF0\x9F\x98\x80 \\xFF"
            "\\xF4\\x90\\x80\\x80\\xED\\xA0\\x80");
}

TEST(Text, StrToInt) {
  struct Case {
    const char* text;
    std::optional<int64_t> want;
  } cases[] = {
      {"10500", 10500},
      {"  42", 42},
      {"-7", -7},
      {"+7", 7},
      {"$FF", 255},
      {"0x1f", 31},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"12 ", std::nullopt},
      {"1a", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"0X1f", std::nullopt},  // only a lower-case "x" marks hex
      {"0X", std::nullopt},
      {"-", std::nullopt},
      {"$G1", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(StrToInt(c.text), c.want) << '"' << c.text << '"';
  EXPECT_EQ(StrToInt("255", 0, 255), 255);
  EXPECT_EQ(StrToInt("256", 0, 255), std::nullopt);
  EXPECT_EQ(StrToInt("-1", 0, 255), std::nullopt);
  EXPECT_EQ(StrToInt("-0", 0, 255), 0);
  // A bound below the digit being added must not wrap.
  EXPECT_EQ(StrToInt("9", 0, 5), std::nullopt);
  EXPECT_EQ(StrToInt("$F", 0, 9), std::nullopt);
  EXPECT_EQ(StrToInt("5", 0, 5), 5);
}

TEST(Text, ExcerptCutsOnlyLongQuotes) {
  const std::string exact(kExcerptMax, 'a');
  EXPECT_EQ(Excerpt(exact), exact);
  EXPECT_EQ(Excerpt(""), "");
  EXPECT_EQ(Excerpt(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(Excerpt(exact + "bc"), exact + "...[2 more characters cut]");
  EXPECT_EQ(Excerpt(std::string(10 << 20, 'x'), 4), "xxxx...[10485756 more characters cut]");
}
