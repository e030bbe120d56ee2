#include "app/ProgramDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/package.h"

namespace {

TEST(ProgramDir, WhichFolderHoldsThePackage) {
  // Without --folder: beside the program when it holds the script to start from (a portable
  // folder), else beside SCRIPT, else the current folder when it holds the script.
  TPackage portable, bare, here, there;
  portable.Write("script.ini", "");
  here.Write("script.ini", "");
  there.Write("x.ini", "");
  struct Order {
    std::string program, script, current;
    std::vector<std::string> starts;
    std::string found;  // "" for none
  };
  const Order orders[] = {
      {portable.Path(), there.Path() + "x.ini", here.Path(), {"script.ini"}, portable.Path()},
      {bare.Path(), there.Path() + "x.ini", here.Path(), {"script.ini"}, there.Path()},
      {bare.Path(), "", here.Path(), {"script.ini"}, here.Path()},
      {bare.Path(), "", here.Path(), {"readid.ini"}, ""},
      {portable.Path(), "", portable.Path(), {"readid.ini", "Updater.prm"}, ""},
  };
  for (const Order& c : orders) {
    const TPackageFound found = FindPackageFolder({c.script, c.starts, c.program, c.current});
    EXPECT_EQ(found.Dir, c.found) << c.program << " " << c.script;
    EXPECT_EQ(found.Own, !c.found.empty() && c.found == c.program);
  }
  const TPackageFound none = FindPackageFolder({"", {"readid.ini"}, bare.Path(), here.Path()});
  EXPECT_EQ(NoPackageText(none, {"readid.ini"}),
            "neither " + bare.Path() + " nor " + here.Path() + " holds readid.ini");
  const TPackageFound one =
      FindPackageFolder({"", {"readid.ini", "Updater.prm"}, bare.Path(), bare.Path()});
  EXPECT_EQ(NoPackageText(one, {"readid.ini", "Updater.prm"}),
            bare.Path() + " holds no readid.ini or Updater.prm");

  // Relative folders are made whole, so messages name files wherever the program started.
  SetProgramDir("rel/./x");
  EXPECT_EQ(ProgramDir(), (std::filesystem::current_path() / "rel/x/").string());
  EXPECT_TRUE(ProgramDirGiven());
  // Forgotten, there is none until one is set; unset, it is the program's own.
  ForgetProgramDir();
  EXPECT_EQ(ProgramDir(), "");
  SetProgramDir("");
  EXPECT_FALSE(ProgramDirGiven());
  EXPECT_TRUE(std::filesystem::equivalent(ProgramDir(), QUBRA_BINARY_DIR));
}

}  // namespace
