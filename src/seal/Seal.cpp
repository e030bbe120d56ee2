#include "seal/Seal.h"

#include <sys/stat.h>

#include <cerrno>

#include "formats/text.h"

namespace {

// The signature lines the minisign tool reads fit in far less; the rest is never looked at.
constexpr size_t kSignatureFileBytes = 16384;

// The signature's problem, or "" when a trusted key signed `manifest`.
std::string CheckSignature(const std::string& folder, const std::string& manifest,
                           const TTrustStore& trust, TSealState& state) {
  std::string text, error;
  struct stat st;
  if (::stat((folder + kSignatureName).c_str(), &st) != 0 && errno == ENOENT) {
    return std::string(kSignatureName) + ": missing: the manifest is not signed";
  }
  if (!ReadFileBytes(folder + kSignatureName, text, error, kSignatureFileBytes)) {
    return std::string(kSignatureName) + ": cannot be read (" + error + ")";
  }
  const auto sig = ParseSignature(text, kSignatureName, error);
  if (!sig) return error;
  state.KeyId = KeyIdText(sig->KeyId);
  state.TrustedComment = sig->TrustedComment;
  const std::vector<const TTrustedKey*> keys = trust.WithId(sig->KeyId);
  if (keys.empty()) {
    // A key file that could not be read may be the one meant to trust this key.
    state.Problems.insert(state.Problems.end(), trust.Errors.begin(), trust.Errors.end());
    return "signed by key " + state.KeyId + ", which is not trusted: trust its public key with " +
           "--trust FILE.pub, or put it in " + kStationTrustFolder +
           " or ~/.config/qubra-updater/trusted.d/";
  }
  for (const TTrustedKey* key : keys) {
    error = VerifySignature(key->Key, *sig, manifest);
    if (error.empty()) return {};
  }
  return std::string(kSignatureName) + ": " + error + " (key " + state.KeyId + ")";
}

}  // namespace

TSealState CheckSeal(const std::string& folder, const TTrustStore& trust,
                     const std::vector<std::string>& named) {
  TSealState state;
  std::string manifest, error;
  struct stat st;
  if (::stat((folder + kManifestName).c_str(), &st) != 0 && errno == ENOENT) return state;
  state.Sealed = true;
  if (!ReadFileBytes(folder + kManifestName, manifest, error)) {
    state.Problems.push_back(std::string(kManifestName) + ": cannot be read (" + error + ")");
    return state;
  }
  state.ManifestSha256 = Sha256Hex(manifest);
  if (std::string problem = CheckSignature(folder, manifest, trust, state); !problem.empty()) {
    state.Problems.insert(state.Problems.begin(), std::move(problem));
  }
  if (auto parsed = ParseManifest(manifest, kManifestName, error)) {
    state.Manifest = std::move(*parsed);
    for (std::string& d : CompareFolder(folder, state.Manifest, named)) {
      state.Problems.push_back(std::move(d));
    }
  } else {
    state.Problems.push_back(error);
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
