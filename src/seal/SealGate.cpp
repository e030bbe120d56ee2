#include "seal/SealGate.h"

#include <filesystem>

#include "app/Settings.h"
#include "check/ScriptCheck.h"
#include "formats/text.h"

namespace {

namespace fs = std::filesystem;

// `path` relative to `folder` when it lies inside it; otherwise as given, which no manifest
// lists.
std::string InFolder(const std::string& folder, const std::string& path) {
  std::error_code ec;
  const fs::path base = fs::absolute(folder, ec).lexically_normal();
  const fs::path full = fs::absolute(path, ec).lexically_normal();
  const std::string rel = full.lexically_relative(base).generic_string();
  return rel.empty() || rel == "." || rel.starts_with("../") || rel == ".." ? path : rel;
}

TFileCheck ManifestCheck(const std::string& folder, const TManifest& manifest) {
  return [folder, manifest](const std::string& path, std::string_view bytes) {
    std::string refusal;
    return CheckBytes(manifest, InFolder(folder, path), bytes, refusal) ? std::string() : refusal;
  };
}

}  // namespace

void ReadStationPolicy(const std::string& path, TSealPolicy& policy) {
  std::error_code ec;
  if (!fs::exists(path, ec) && !ec) return;
  std::vector<std::string> lines;
  if (!ReadTextLines(path, lines)) {
    policy.Errors.push_back(Excerpt(path) + ": cannot be read, so no package is accepted");
    return;
  }
  const std::string value = Trim(ReadSetting(lines, "REQUIRE_SEAL", "0"));
  if (value == "1") {
    policy.RequireSeal = true;
    policy.RequiredBy = Excerpt(path) + " (REQUIRE_SEAL=1)";
  } else if (value != "0") {
    policy.Errors.push_back(Excerpt(path) + ": REQUIRE_SEAL=" + Excerpt(value, 40) +
                            ": 0 or 1 expected, so no package is accepted");
  }
}

std::vector<std::string> PackageFiles(const std::string& folder, const TScriptCheck& check) {
  std::vector<std::string> files;
  for (const std::string& path : check.NamedFiles()) files.push_back(InFolder(folder, path));
  return files;
}

TSealState CheckPackageSeal(const std::string& folder, const std::string& script,
                            const TSealPolicy& policy) {
  TSealState state;
  std::error_code ec;
  // An unsealed package is not walked: it runs as it always did.
  if (fs::exists(folder + kManifestName, ec) || ec) {
    TScriptCheck check(folder);
    check.Run(script);
    state = CheckSeal(folder, LoadTrustedKeys(policy.Trust), PackageFiles(folder, check));
  }
  if (!state.Sealed && policy.RequireSeal) {
    state.Problems.push_back("Package not sealed (no " + std::string(kManifestName) + "), and " +
                             policy.RequiredBy + " accepts sealed packages only");
  }
  state.Problems.insert(state.Problems.end(), policy.Errors.begin(), policy.Errors.end());
  state.Verified = state.Sealed && state.Problems.empty();
  return state;
}

TPackageGate MakeSealGate(TSealPolicy policy) {
  return [policy = std::move(policy)](const std::string& folder, const std::string& script) {
    const TSealState state = CheckPackageSeal(folder, script, policy);
    TPackageVerdict verdict;
    verdict.Seal = {state.Sealed, state.Verified, state.ManifestSha256, state.KeyId,
                    state.TrustedComment};
    verdict.Problems = state.Problems;
    if (state.Verified) verdict.FileCheck = ManifestCheck(folder, state.Manifest);
    return verdict;
  };
}
