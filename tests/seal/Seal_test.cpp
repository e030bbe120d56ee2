#include "seal/Seal.h"

#include <gtest/gtest.h>

#include <functional>

#include "minisign_tool.h"

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
    const auto manifest = BuildManifest(Package.Path(), Named, error);
    ASSERT_TRUE(manifest && WriteManifest(Package.Path(), *manifest, error)) << error;
    ASSERT_TRUE(Author.Sign(Package.Path() + kManifestName));
    std::string key;
    ASSERT_TRUE(ReadFileBytes(Author.Pub, key, error));
    Keys.Write("station/author.pub", key);
  }

  ScratchDir Package, Keys;
  TToolKey Author{Keys, "author"}, Stranger{Keys, "stranger"};
  std::vector<std::string> Named = {"script.ini", "Qubra/BANK3.HEX"};
};

TEST_F(SealTest, TrustedAndIntactOrEveryReasonWhyNot) {
  const std::string station = Keys.Path() + "station/";
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
       {"signed by key KEY, which is not trusted"}},
      {"unreadable key file, key not trusted",
       [&](TTrustPlaces& p) {
         Keys.Write("bad/bad.pub", "untrusted comment: x\nnot a key\n");
         p = {{}, {Keys.Path() + "bad/"}};
       },
       {"signed by key KEY, which is not trusted",
        Keys.Path() + "bad/bad.pub:2: the public key is not base64: \"not a key\""}},
      {"changed and extra files",
       [&](TTrustPlaces&) {
         Package.Write("Qubra/BANK3.HEX", ":00000001FE\r\n");
         Named.push_back("Qubra/EXTRA.HEX");
       },
       {"Qubra/BANK3.HEX: changed since the package was sealed",
        "Qubra/EXTRA.HEX: not listed in package.manifest"}},
      {"signature missing",
       [&](TTrustPlaces&) { Package.Remove(kSignatureName); },
       {"package.manifest.minisig: missing: the manifest is not signed"}},
      {"manifest changed after signing",
       [&](TTrustPlaces&) {
         Package.Write(kManifestName, ReadAll(Package.Path() + kManifestName) + "# more\n");
       },
       {"package.manifest.minisig: the signature does not match (key KEY)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Named = {"script.ini", "Qubra/BANK3.HEX"};
    SetUp();
    TTrustPlaces places{{}, {station}};
    c.Change(places);
    const TSealState state = CheckSeal(Package.Path(), LoadTrustedKeys(places), Named);
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
}

TEST_F(SealTest, UnsealedPackage) {
  Package.Remove(kManifestName);
  const TSealState state = CheckSeal(Package.Path(), {}, Named);
  EXPECT_FALSE(state.Sealed || state.Verified);
  EXPECT_EQ(SealStatusText(state), "Package not sealed");
}

}  // namespace
