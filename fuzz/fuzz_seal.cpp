// The sealed package's files: the manifest, minisign public keys and signatures.
#include "fuzz_util.h"
#include "seal/Manifest.h"
#include "seal/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = AsText(data, size);
  std::string error;
  // A manifest read back from its own text is the same manifest, entries sorted and unique.
  if (TManifest m; ParseManifest(text, "m", m, error)) {
    FUZZ_REQUIRE(error.empty());
    for (size_t i = 1; i < m.Entries.size(); ++i)
      FUZZ_REQUIRE(m.Entries[i - 1].Path < m.Entries[i].Path);
    std::string again_error;
    TManifest again;
    FUZZ_REQUIRE(ParseManifest(FormatManifest(m), "m", again, again_error) &&
                 again.Entries == m.Entries);
  } else {
    FUZZ_REQUIRE(error.rfind("m:", 0) == 0);
  }
  error.clear();
  TPublicKey key;
  FUZZ_REQUIRE(ParsePublicKey(text, "k", key, error) == error.empty());
  error.clear();
  TSignature sig;
  const bool parsed = ParseSignature(text, "s", sig, error);
  FUZZ_REQUIRE(parsed == error.empty());
  // A signature never verifies under a key it was not made with: all-zero keys sign nothing.
  if (parsed) {
    TPublicKey zero;
    zero.Id = sig.KeyId;
    FUZZ_REQUIRE(!VerifySignature(zero, sig, text, error) && !error.empty());
  }
  return 0;
}
