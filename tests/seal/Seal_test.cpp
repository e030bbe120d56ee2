#include "seal/Seal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "formats/text.h"
#include "minisign_tool.h"
#include "seal/SealGate.h"
#include "sys/Files.h"
#include "sys/Sha256.h"

namespace {

TEST(TrustFolders, FollowTheUsersConfigFolder) {
  const struct {
    const char *Xdg, *Home;
    std::vector<std::string> Folders;
  } cases[] = {
      {nullptr, "/home/op", {kStationTrustFolder, "/home/op/.config/qubra-updater/trusted.d/"}},
      {"/cfg/", "/home/op", {kStationTrustFolder, "/cfg/qubra-updater/trusted.d/"}},
      {"relative", "/home/op", {kStationTrustFolder, "/home/op/.config/qubra-updater/trusted.d/"}},
      {"", nullptr, {kStationTrustFolder}},
  };
  for (const auto& c : cases) EXPECT_EQ(DefaultTrustFolders(c.Xdg, c.Home), c.Folders);
}

class SealTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveMinisign()) GTEST_SKIP() << "the minisign tool is not installed";
    Package.Write("script.ini", "CM\r\n");
    Package.Write("Qubra/BANK3.HEX", ":00000001FF\r\n");
    std::string error;
    TManifest manifest;
    ASSERT_TRUE(BuildManifest(Package.Path(), Named, manifest, error) &&
                WriteManifest(Package.Path(), manifest, error))
        << error;
    ASSERT_TRUE(Author.Sign(Package.Path() + kManifestName));
    std::string key;
    ASSERT_EQ(ReadWholeFile(Author.Pub, key, error), TLook::Found);
    Keys.Write("station/author.pub", key);
  }

  ScratchDir Package, Keys;
  TToolKey Author{Keys, "author"}, Stranger{Keys, "stranger"};
  const std::vector<std::string> Named = {"script.ini", "Qubra/BANK3.HEX"};
  const TNamedFiles NamedFiles = [this] { return Named; };

  // Lists `lines` too, signed by the author when `sign`, otherwise under a junk signature.
  void List(const std::string& lines, bool sign) {
    Package.Write(kManifestName, ReadAll(Package.Path() + kManifestName) + lines);
    if (!sign) return Package.Write(kSignatureName, "untrusted comment: x\njunk\n");
    ASSERT_TRUE(Author.Sign(Package.Path() + kManifestName));
  }
};

TEST_F(SealTest, TrustedAndIntactOrEveryReasonWhyNot) {
  const std::string station = Keys.Path() + "station/";
  const std::string untrusted =
      "signed by key KEY, which is not trusted: trust its public key with --trust FILE.pub, or "
      "put it in /etc/qubra-updater/trusted.d/ or ~/.config/qubra-updater/trusted.d/";
  const struct {
    const char* Name;
    std::function<void(TTrustPlaces&)> Change;
    std::vector<std::string> Problems;  // "KEY" stands for the author's key id
  } cases[] = {
      {"trusted by the station's folder", [](TTrustPlaces&) {}, {}},
      {"trusted by a named file",
       [&](TTrustPlaces& p) {
         p = {{Author.Pub}, {Keys.Path() + "absent/"}};
       },
       {}},
      {"key not trusted",
       [&](TTrustPlaces& p) {
         p = {{Stranger.Pub}, {}};
       },
       {untrusted}},
      {"unreadable key file, key not trusted",
       [&](TTrustPlaces& p) {
         Keys.Write("bad/bad.pub", "untrusted comment: x\nnot a key\n");
         p = {{}, {Keys.Path() + "bad/"}};
       },
       {untrusted, Keys.Path() + "bad/bad.pub:2: the public key is not base64: \"not a key\""}},
      {"signature missing",
       [&](TTrustPlaces&) { Package.Remove(kSignatureName); },
       {"package.manifest.minisig: missing: the manifest is not signed"}},
      {"manifest changed after signing",
       [&](TTrustPlaces&) {
         Package.Write(kManifestName, ReadAll(Package.Path() + kManifestName) + "# more\n");
       },
       {"package.manifest.minisig: the signature does not match (key KEY)"}},
      {"junk signature: no listed file is opened",
       [&](TTrustPlaces&) {
         std::filesystem::create_symlink("/proc/self/pagemap", Package.Path() + "notes.txt");
         List(std::string(64, 'a') + " 9 notes.txt\n", false);
       },
       {"package.manifest.minisig:3: missing line"}},
      {"links, in and out of the package, and what is not a regular file",
       [&](TTrustPlaces&) {
         Package.Remove("notes.txt");
         std::filesystem::create_symlink("/proc/self/pagemap", Package.Path() + "notes.txt");
         std::filesystem::create_symlink("script.ini", Package.Path() + "in.ini");
         ASSERT_EQ(::mkfifo((Package.Path() + "fifo").c_str(), 0600), 0);
         std::filesystem::rename(Package.Path() + "Qubra", Keys.Path() + "Qubra");
         std::filesystem::create_symlink(Keys.Path() + "Qubra", Package.Path() + "Qubra");
         const std::string sha = Sha256Hex("CM\r\n") + " ";
         List(sha + "4 in.ini\n" + sha + "4 fifo\n" + sha + "4 notes.txt\n", true);
       },
       {"Qubra/BANK3.HEX: cannot be read (is a symbolic link)", "fifo: cannot be read (is a FIFO)",
        "in.ini: cannot be read (is a symbolic link)",
        "notes.txt: cannot be read (is a symbolic link)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    SetUp();
    TTrustPlaces places{{}, {station}};
    c.Change(places);
    const TSealState state = CheckSeal(Package.Path(), LoadTrustedKeys(places), NamedFiles);
    std::vector<std::string> expected = c.Problems;
    for (std::string& p : expected) {
      if (const size_t at = p.find("KEY"); at != std::string::npos) p.replace(at, 3, state.KeyId);
    }
    EXPECT_TRUE(state.Sealed);
    EXPECT_EQ(state.Problems, expected);
    EXPECT_EQ(state.Verified, expected.empty());
    EXPECT_EQ(state.ManifestSha256, Sha256Hex(ReadAll(Package.Path() + kManifestName)));
    if (state.Verified) {
      EXPECT_EQ(SealStatusText(state), "Package sealed by key " + state.KeyId + " (trusted)");
      EXPECT_TRUE(state.TrustedComment.starts_with("timestamp:")) << state.TrustedComment;
      EXPECT_NE(ReadAll(Author.Pub).find(state.KeyId), std::string::npos);
    }
  }
  Package.Remove("Qubra");  // the link the last case left
  SetUp();  // a run reads a file as it was sealed, not a link put in its place after the check
  const TFileCheck read = SealedFileCheck(
      Package.Path(),
      CheckSeal(Package.Path(), LoadTrustedKeys({{}, {station}}), NamedFiles).Manifest);
  std::filesystem::remove(Package.Path() + "Qubra/BANK3.HEX");
  std::filesystem::create_symlink("/proc/self/pagemap", Package.Path() + "Qubra/BANK3.HEX");
  std::string bytes, refusal;
  EXPECT_FALSE(read(Package.Path() + "Qubra/BANK3.HEX", bytes, refusal));
  EXPECT_EQ(refusal, "Qubra/BANK3.HEX: cannot be read (is a symbolic link)");
  Package.Remove("Qubra/BANK3.HEX");
  SetUp();  // a manifest beyond any package's is refused before it is read
  Package.Write(kManifestName, std::string(1024 * 1024 + 1, '#'));
  EXPECT_EQ(CheckSeal(Package.Path(), LoadTrustedKeys({{}, {station}}), NamedFiles).Problems,
            std::vector<std::string>{"package.manifest: longer than 1 MiB, far beyond any "
                                     "package's: refused unread"});
}

TEST_F(SealTest, AddedKeyIsTrustedFromTheUsersFolder) {
  const std::string user = Keys.Path() + "config/qubra-updater/trusted.d/";
  std::string key_id, error;
  EXPECT_FALSE(AddTrustedKey(Package.Path() + kManifestName, user, key_id, error));
  EXPECT_EQ(error, Package.Path() + "package.manifest:2: the public key is not base64: \"" +
                       "# SHA-256, size in bytes, path in the package folder; sign\"");
  ASSERT_TRUE(AddTrustedKey(Author.Pub, user, key_id, error)) << error;
  EXPECT_EQ(ReadAll(user + key_id + ".pub"), ReadAll(Author.Pub));
  // A key file that cannot be written is no key added.
  const std::string added = user + key_id + ".pub";
  std::filesystem::remove(added);
  std::filesystem::create_directory(added);
  EXPECT_FALSE(AddTrustedKey(Author.Pub, user, key_id, error));
  EXPECT_EQ(error, added + " is not a regular file");
  std::filesystem::remove(added);
  ASSERT_TRUE(AddTrustedKey(Author.Pub, user, key_id, error)) << error;
  const TSealState state = CheckSeal(Package.Path(), LoadTrustedKeys({{}, {user}}), NamedFiles);
  EXPECT_TRUE(state.Verified);
  EXPECT_EQ(state.KeyId, key_id);
}

// The station's policy file, and what an unsealed package then meets.
TEST_F(SealTest, StationPolicy) {
  Package.Remove(kManifestName);
  const std::string path = Keys.Path() + "policy";
  const std::string unsealed = "Package not sealed (no package.manifest), and " + path +
                               " (REQUIRE_SEAL=1) accepts sealed packages only";
  const struct {
    const char* Text;  // nullptr: no policy file
    bool Require;
    std::vector<std::string> Problems;
    bool Dangling = false;  // the policy file a link to nothing
    std::string Station{}, HistoryDb{};
  } cases[] = {
      {nullptr, false, {}},
      {"# station 4\nREQUIRE_SEAL=1\n", true, {unsealed}},
      {"REQUIRE_SEAL=0\n", false, {}},
      {"REQUIRE_SEAL=yes\n",
       false,
       {path + ":1: REQUIRE_SEAL=yes: 0 or 1 expected, so no package is accepted"}},
      {"\xEF\xBB\xBF \tREQUIRE_SEAL = 1 \n", true, {unsealed}},
      {"REQUIRE_SEAL=\n",
       false,
       {path + ":1: REQUIRE_SEAL=: 0 or 1 expected, so no package is accepted"}},
      {"STATION=Bench 4\nHISTORY_DB=h.db\nREQUIRE_SEAL=0\nREQUIRE_SEAL 1\n",
       false,
       {path + ":4: unknown key \"REQUIRE_SEAL 1\" (REQUIRE_SEAL, STATION or HISTORY_DB " +
        "expected), so no package is accepted"},
       false,
       "Bench 4",
       "h.db"},
      {nullptr,
       false,
       {path + ": cannot be read (No such file or directory), so no package is accepted"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text ? c.Text : "none");
    if (c.Text) Keys.Write("policy", c.Text);
    if (c.Dangling) {
      Keys.Remove("policy");
      std::filesystem::create_symlink("absent", path);
    }
    TSealPolicy policy;
    ReadStationPolicy(path, policy);
    EXPECT_EQ(policy.RequireSeal, c.Require);
    EXPECT_EQ(policy.Station + "|" + policy.HistoryDb, c.Station + "|" + c.HistoryDb);
    const TSealState state =
        CheckPackageSeal(Package.Path(), Package.Path() + "script.ini", policy);
    EXPECT_EQ(state.Problems, c.Problems);
    EXPECT_EQ(SealStatusText(state),
              c.Problems.empty() ? "Package not sealed" : "Package not accepted: " + c.Problems[0]);
  }
}

}  // namespace
