#include "seal/Seal.h"

#include "formats/text.h"
#include "sys/Files.h"
#include "sys/Sha256.h"

namespace {

// The signature lines the minisign tool reads fit in far less; the rest is never looked at.
constexpr size_t kSignatureFileBytes = 16384;
// A manifest line is about a hundred bytes and a package a few dozen files: a manifest longer
// than this is no package's, and is refused before it is read, let alone checked.
constexpr size_t kManifestBytes = 1024 * 1024;

// True when a trusted key signed `manifest`; otherwise false with the signature's problem.
bool CheckSignature(const std::string& folder, const std::string& manifest,
                    const TTrustStore& trust, TSealState& state, std::string& problem) {
  std::string text, error;
  const TLook look = ReadWholeFile(folder + kSignatureName, text, error, kSignatureFileBytes);
  if (look == TLook::NotFound) {
    problem = std::string(kSignatureName) + ": missing: the manifest is not signed";
    return false;
  }
  if (look != TLook::Found) {
    problem = std::string(kSignatureName) + ": cannot be read (" + error + ")";
    return false;
  }
  TSignature sig;
  if (!ParseSignature(text, kSignatureName, sig, problem)) return false;
  state.KeyId = KeyIdText(sig.KeyId);
  state.TrustedComment = sig.TrustedComment;
  const std::vector<const TTrustedKey*> keys = trust.WithId(sig.KeyId);
  if (keys.empty()) {
    // A key file that could not be read may be the one meant to trust this key.
    state.Problems.insert(state.Problems.end(), trust.Errors.begin(), trust.Errors.end());
    problem = "signed by key " + state.KeyId + ", which is not trusted: " +
              (!trust.HowToTrust.empty()
                   ? trust.HowToTrust
                   : "trust its public key with --trust FILE.pub, or put it in " +
                         std::string(kStationTrustFolder) + " or ~/.config/qubra-updater/trusted.d/");
    return false;
  }
  for (const TTrustedKey* key : keys) {
    if (VerifySignature(key->Key, sig, manifest, error)) return true;
  }
  problem = std::string(kSignatureName) + ": " + error + " (key " + state.KeyId + ")";
  return false;
}

}  // namespace

TSealState CheckSeal(const std::string& folder, const TTrustStore& trust,
                     const TNamedFiles& named) {
  TSealState state;
  std::string manifest, error;
  const TLook look = ReadWholeFile(folder + kManifestName, manifest, error, kManifestBytes + 1);
  if (look == TLook::NotFound) return state;
  state.Sealed = true;
  if (look != TLook::Found) {
    state.Problems.push_back(std::string(kManifestName) + ": cannot be read (" + error + ")");
    return state;
  }
  if (manifest.size() > kManifestBytes) {
    state.Problems.push_back(std::string(kManifestName) +
                             ": longer than 1 MiB, far beyond any package's: refused unread");
    return state;
  }
  state.ManifestSha256 = Sha256Hex(manifest);
  std::string problem;
  // Unsigned lines name no file worth opening: a listed file is read only for a trusted key.
  const bool signed_ok = CheckSignature(folder, manifest, trust, state, problem);
  if (!signed_ok) state.Problems.insert(state.Problems.begin(), std::move(problem));
  if (!ParseManifest(manifest, kManifestName, state.Manifest, error)) {
    state.Problems.push_back(error);
  } else if (signed_ok) {
    bool any_refused = false;
    for (const TManifestEntry& e : state.Manifest.Entries) {
      bool refused = false;
      if (std::string d = CompareFile(folder, e, refused); !d.empty()) state.Problems.push_back(d);
      any_refused |= refused;
    }
    // Walking the scripts reads them whole: not while one is a link or no regular file.
    if (!any_refused) {
      for (std::string& d : NotListed(state.Manifest, named())) state.Problems.push_back(d);
    }
  }
  state.Verified = state.Problems.empty();
  return state;
}

std::string SealStatusText(const TSealState& state) {
  if (state.Verified) return "Package sealed by key " + state.KeyId + " (trusted)";
  if (state.Problems.empty()) return "Package not sealed";
  std::string text = "Package not accepted: " + state.Problems.front();
  if (state.Problems.size() > 1) {
    text += " (and " + std::to_string(state.Problems.size() - 1) + " more)";
  }
  return text;
}
