#include "sys/Files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "scratch_dir.h"
#include "sys/Sha256.h"
#include "sys/SysError.h"

namespace {

// Missing is told from unreadable, and what is not a regular file is never opened.
TEST(Files, ReadWholeFileTellsMissingFromUnreadable) {
  ScratchDir dir;
  dir.Write("abc", "abc");
  dir.Write("folder/inside", "");
  ASSERT_EQ(::mkfifo((dir.Path() + "fifo").c_str(), 0644), 0);
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
