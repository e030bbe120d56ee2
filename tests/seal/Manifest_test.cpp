#include "seal/Manifest.h"

#include <gtest/gtest.h>

#include "formats/text.h"

#include "scratch_dir.h"
#include "sys/Files.h"

namespace {

const std::string kHeader = "qubra-updater package manifest 1\n";
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Manifest, BuiltSortedAndReadBackAsWritten) {
  ScratchDir dir;
  dir.Write("script.ini", "abc");
  dir.Write("rép/pkg ü€.hex", ":00000001FF\r\n");
  dir.Write("Qubra/BANK3.HEX", "");
  std::string error;
  TManifest built, read;
  ASSERT_TRUE(BuildManifest(
      dir.Path(), {"script.ini", "rép/pkg ü€.hex", "Qubra/BANK3.HEX", "script.ini"}, built, error))
      << error;
  ASSERT_EQ(built.Entries.size(), 3u);
  EXPECT_EQ(built.Entries[0].Path, "Qubra/BANK3.HEX");
  EXPECT_EQ(built.Entries[2], (TManifestEntry{"script.ini", 3, kAbc}));
  ASSERT_TRUE(WriteManifest(dir.Path(), built, error)) << error;
  const std::string text = FormatManifest(built);
  EXPECT_TRUE(text.starts_with(kHeader));
  EXPECT_TRUE(text.ends_with("\n" + kAbc + " 3 script.ini\n"));
  ASSERT_TRUE(ParseManifest(text, "m", read, error)) << error;
  EXPECT_EQ(read.Entries, built.Entries);
  std::string on_disk;
  ASSERT_EQ(ReadWholeFile(dir.Path() + kManifestName, on_disk, error), TLook::Found);
  EXPECT_EQ(on_disk, text);
}

TEST(Manifest, BuildRefusesWhatCannotBeListed) {
  ScratchDir dir;
  std::string error;
  TManifest manifest;
  for (const std::string path : {"../script.ini", "/etc/passwd", "Qubra//a.hex", "a\nb"}) {
    EXPECT_FALSE(BuildManifest(dir.Path(), {path}, manifest, error)) << path;
    EXPECT_NE(error.find(": cannot be sealed: "), std::string::npos) << error;
  }
  EXPECT_FALSE(BuildManifest(dir.Path(), {"gone.hex"}, manifest, error));
  EXPECT_EQ(error, dir.Path() + "gone.hex: No such file or directory");
}

TEST(Manifest, ParseErrors) {
  const std::string entry = kAbc + " 3 a\n";
  const struct {
    std::string Text, Error;
  } cases[] = {
      {"", "m:1: not a package manifest (the first line is not \"" + kHeader.substr(0, 32) + "\")"},
      {kHeader + "# files\n" + kAbc + "\n", "m:3: expected \"SHA-256 SIZE PATH\""},
      {kHeader + "abc 3 a\n", "m:2: bad SHA-256 \"abc\" (64 lower-case hex digits expected)"},
      {kHeader + "BA" + entry.substr(2),
       "m:2: bad SHA-256 \"BA" + kAbc.substr(2) + "\" (64 lower-case hex digits expected)"},
      {kHeader + kAbc + " -3 a\n", "m:2: bad size \"-3\""},
      {kHeader + kAbc + "  a\n", "m:2: bad size \"\""},
      {kHeader + kAbc + " 99999999999999999999 a\n", "m:2: bad size \"99999999999999999999\""},
      {kHeader + kAbc + " 3 ../a\n", "m:2: \".\", \"..\" or \"//\" in the path"},
      {kHeader + kAbc + " 3 /a\n", "m:2: absolute path"},
      {kHeader + kAbc + " 3 \n", "m:2: empty path"},
      {kHeader + entry + "# again\n" + entry, "m:4: a is listed twice (first on line 2)"},
  };
  for (const auto& c : cases) {
    std::string error;
    TManifest manifest;
    EXPECT_FALSE(ParseManifest(c.Text, "m", manifest, error)) << c.Text;
    EXPECT_EQ(error, c.Error);
  }
}

TEST(Manifest, EveryDifferenceIsReported) {
  ScratchDir dir;
  for (const char* name : {"script.ini", "Qubra/BANK3.HEX", "Qubra/BANK4.HEX", "Qubra/p.svf"}) {
    dir.Write(name, "sealed");
  }
  std::string error;
  TManifest manifest;
  ASSERT_TRUE(BuildManifest(dir.Path(),
                            {"script.ini", "Qubra/BANK3.HEX", "Qubra/BANK4.HEX", "Qubra/p.svf"},
                            manifest, error))
      << error;
  EXPECT_TRUE(CompareFolder(dir.Path(), manifest, {"script.ini"}).empty());
  dir.Write("Qubra/BANK3.HEX", "sealeD");
  dir.Remove("Qubra/BANK4.HEX");
  dir.Write("Qubra/p.svf", "seal");
  dir.Write("Qubra/EXTRA.HEX", "new");
  const std::vector<std::string> expected = {
      "Qubra/BANK3.HEX: changed since the package was sealed",
      "Qubra/BANK4.HEX: missing",
      "Qubra/p.svf: size differs (4 bytes, 6 when sealed)",
      "Qubra/EXTRA.HEX: not listed in package.manifest",
  };
  EXPECT_EQ(CompareFolder(dir.Path(), manifest, {"script.ini", "Qubra/EXTRA.HEX"}), expected);

  const struct {
    const char* Path;
    const char* Bytes;
    std::string Error;  // "" for the sealed bytes
  } checks[] = {
      {"script.ini", "sealed", ""},
      {"script.ini", "sealeD", "script.ini: changed since the package was sealed"},
      {"script.ini", "sealed!", "script.ini: changed since the package was sealed"},
      {"Qubra/EXTRA.HEX", "new", "Qubra/EXTRA.HEX: not listed in package.manifest"},
  };
  for (const auto& c : checks) {
    error.clear();
    EXPECT_EQ(CheckBytes(manifest, c.Path, c.Bytes, error), c.Error.empty()) << c.Bytes;
    EXPECT_EQ(error, c.Error);
  }
}

}  // namespace
