#include "sys/AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scratch_dir.h"
#include "sys/Files.h"
#include "sys/SysError.h"

namespace {

// A link is written through to its target, which need not exist yet; a link that leads nowhere
// a file can be made is refused at Open, and stays as it was.
TEST(AtomicFile, OpensThroughALinkOnlyWhereItCanBeFollowed) {
  ScratchDir dir;
  const std::string p = dir.Path();
  struct Case {
    std::string target;  // of the link "out"
    std::string error;   // "" when the write goes through to `target`
  };
  const Case cases[] = {
      {"new.txt", ""},
      {"out", "cannot follow the link " + p + "out: " + SysErrorText(ELOOP)},
      {"none/new.txt", "cannot create a temporary file in " + p + "none/: " + SysErrorText(ENOENT)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    std::filesystem::create_symlink(c.target, p + "out");
    TAtomicFile file(p + "out");
    EXPECT_EQ(file.Open(), c.error.empty());
    EXPECT_EQ(file.Error(), c.error);
    if (c.error.empty()) {
      EXPECT_TRUE(file.Write("new") && file.Commit()) << file.Error();
      std::string bytes, error;
      EXPECT_EQ(ReadWholeFile(p + c.target, bytes, error), TLook::Found) << error;
      EXPECT_EQ(bytes, "new");
    }
    TFileStatus st;
    std::string error;
    ASSERT_EQ(LinkStatus(p + "out", st, error), TLook::Found);
    EXPECT_TRUE(st.Link);
    std::filesystem::remove(p + "out");
    std::filesystem::remove(p + "new.txt");
    EXPECT_TRUE(std::filesystem::is_empty(p));  // no temporary file left
  }
}

}  // namespace
