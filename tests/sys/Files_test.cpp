#include "sys/Files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "scratch_dir.h"
#include "sys/AppendFile.h"
#include "sys/Sha256.h"
#include "sys/SysError.h"

namespace {

// Missing is told from unreadable, and what is not a regular file is never opened.
TEST(Files, ReadWholeFileTellsMissingFromUnreadable) {
  ScratchDir dir;
  dir.Write("abc", "abc");
  dir.Write("folder/inside", "");
  ASSERT_EQ(::mkfifo((dir.Path() + "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/proc/self/pagemap", (dir.Path() + "pagemap").c_str()), 0);
  struct Case {
    std::string name;
    size_t max_bytes;
    TLook look;
    std::string bytes_or_error;
  };
  const Case cases[] = {
      {"abc", SIZE_MAX, TLook::Found, "abc"},
      {"abc", 2, TLook::Found, "ab"},
      {"none", SIZE_MAX, TLook::NotFound, SysErrorText(ENOENT)},
      {"abc/below", SIZE_MAX, TLook::NotFound, SysErrorText(ENOTDIR)},
      {"folder", SIZE_MAX, TLook::Failed, "is a folder"},
      {"fifo", SIZE_MAX, TLook::Failed, "is not a regular file"},
      {"pagemap", SIZE_MAX, TLook::Failed,
       "is a file the kernel makes up (/proc, /sys), not a stored one"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = "stale", error;
    EXPECT_EQ(ReadWholeFile(dir.Path() + c.name, bytes, error, c.max_bytes), c.look);
    EXPECT_EQ(c.look == TLook::Found ? bytes : error, c.bytes_or_error);
    if (c.look != TLook::Found) {
      EXPECT_EQ(bytes, "");
    }
  }
}

TEST(Files, StatusSaysWhatAPathIsAndWhetherTwoAreOneFile) {
  ScratchDir dir;
  dir.Write("abc", "abc");
  std::filesystem::create_symlink("abc", dir.Path() + "link");
  TFileStatus file, link, through;
  std::string error;
  ASSERT_EQ(FileStatus(dir.Path() + "abc", file, error), TLook::Found);
  EXPECT_TRUE(file.Regular);
  EXPECT_EQ(file.Size, 3u);
  ASSERT_EQ(LinkStatus(dir.Path() + "link", link, error), TLook::Found);
  EXPECT_TRUE(link.Link);
  EXPECT_FALSE(link.SameFile(file));
  ASSERT_EQ(FileStatus(dir.Path() + "link", through, error), TLook::Found);
  EXPECT_TRUE(through.SameFile(file));
  ASSERT_EQ(FileStatus(dir.Path(), through, error), TLook::Found);
  EXPECT_STREQ(through.Kind(), "a folder");
  EXPECT_EQ(FileStatus(dir.Path() + "none", through, error), TLook::NotFound);
}

// A file where the folder should be is an error, not an empty folder.
TEST(Files, ListFolderNamesItsEntriesOnly) {
  ScratchDir dir;
  dir.Write("b.pub", "");
  dir.Write("a/x", "");
  std::vector<std::string> names;
  std::string error;
  ASSERT_EQ(ListFolder(dir.Path(), names, error), TLook::Found) << error;
  std::sort(names.begin(), names.end());
  EXPECT_THAT(names, ::testing::ElementsAre("a", "b.pub"));
  EXPECT_EQ(ListFolder(dir.Path() + "none/", names, error), TLook::NotFound);
  EXPECT_EQ(ListFolder(dir.Path() + "b.pub/", names, error), TLook::Failed);
  EXPECT_EQ(error, SysErrorText(ENOTDIR));
}

TEST(Sha256, OfBytesAndOfAFileAgree) {
  ScratchDir dir;
  const std::string big(200000, 'q');  // more than one piece
  dir.Write("big", big);
  uint64_t size = 0;
  std::string sha256, error;
  ASSERT_TRUE(Sha256File(dir.Path() + "big", size, sha256, error)) << error;
  EXPECT_EQ(size, big.size());
  EXPECT_EQ(sha256, Sha256Hex(big));
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(Sha256File(dir.Path(), size, sha256, error));
  EXPECT_EQ(error, "is a folder");
}

}  // namespace

namespace {

std::vector<std::string> ReadLines(TLineReader& reader) {
  std::vector<std::string> lines;
  for (std::string line; reader.Next(line);) lines.push_back(line);
  return lines;
}

// A pipe or a FIFO is read to its end, whatever the pieces its writer sends; a FIFO nobody
// opens for writing is given up after the wait instead of holding the reader for good.
TEST(LineReader, ReadsPipesToTheirEndAndGivesUpOnAFifoWithoutWriter) {
  ScratchDir dir;
  const std::string fifo = dir.Path() + "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    for (const char* piece : {"one\ntw", "o\n", "", "three"}) {
      (void)!::write(fd, piece, std::strlen(piece));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
  });
  TLineReader fed;
  std::string error;
  ASSERT_TRUE(fed.Open(fifo, 5000, error)) << error;
  EXPECT_EQ(ReadLines(fed), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(fed.Error(), "");
  writer.join();

  TLineReader alone;
  ASSERT_TRUE(alone.Open(fifo, 100, error)) << error;
  EXPECT_EQ(ReadLines(alone), std::vector<std::string>{});
  EXPECT_EQ(alone.Error(), "nothing was written to it within 0 s");

  dir.Write("empty", "");
  TLineReader empty;
  ASSERT_TRUE(empty.Open(dir.Path() + "empty", 100, error)) << error;
  EXPECT_EQ(ReadLines(empty), std::vector<std::string>{});
  EXPECT_EQ(empty.Error(), "");
}

// An append waits for the lock of the file at the path as it is then: a file moved away under
// the lock keeps what it had, and the piece goes to the file that took its place.
TEST(AppendToPath, WholePiecesToTheFileThatIsThere) {
  ScratchDir dir;
  const std::string path = dir.Path() + "spool";
  std::string why;
  ASSERT_TRUE(AppendToPath(path, "a\n", 0600, 100, why)) << why;
  EXPECT_EQ(TakeFileAway(path, path + ".1", why), TLook::Found);
  EXPECT_EQ(TakeFileAway(path, path + ".2", why), TLook::NotFound);
  ASSERT_TRUE(AppendToPath(path, "b\n", 0600, 100, why)) << why;
  EXPECT_FALSE(AppendToPath(path, std::string(99, 'c'), 0600, 100, why));
  EXPECT_EQ(why, "it would grow past 0 MiB");
  std::string bytes;
  ASSERT_EQ(ReadWholeFile(path, bytes, why), TLook::Found);
  EXPECT_EQ(bytes, "b\n");
  ASSERT_EQ(ReadWholeFile(path + ".1", bytes, why), TLook::Found);
  EXPECT_EQ(bytes, "a\n");
}

}  // namespace
