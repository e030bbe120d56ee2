// The sealed package's files: the manifest, minisign public keys and signatures.
#include "fuzz_util.h"
#include "seal/Manifest.h"
#include "seal/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = AsText(data, size);
  std::string error;
  // A manifest read back from its own text is the same manifest, entries sorted and unique.
  if (std::optional<TManifest> m = ParseManifest(text, "m", error)) {
    FUZZ_REQUIRE(error.empty());
    for (size_t i = 1; i < m->Entries.size(); ++i)
      FUZZ_REQUIRE(m->Entries[i - 1].Path < m->Entries[i].Path);
    std::string again_error;
    const std::optional<TManifest> again = ParseManifest(FormatManifest(*m), "m", again_error);
    FUZZ_REQUIRE(again && again->Entries == m->Entries);
  } else {
    FUZZ_REQUIRE(error.rfind("m:", 0) == 0);
  }
  error.clear();
  const std::optional<TPublicKey> key = ParsePublicKey(text, "k", error);
  FUZZ_REQUIRE(key.has_value() == error.empty());
  error.clear();
  const std::optional<TSignature> sig = ParseSignature(text, "s", error);
  FUZZ_REQUIRE(sig.has_value() == error.empty());
  // A signature never verifies under a key it was not made with: all-zero keys sign nothing.
  if (sig) {
    TPublicKey zero;
    zero.Id = sig->KeyId;
    FUZZ_REQUIRE(!VerifySignature(zero, *sig, text).empty());
  }
  return 0;
}
