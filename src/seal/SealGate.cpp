#include "seal/SealGate.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "app/Settings.h"
#include "check/ScriptCheck.h"
#include "formats/text.h"
#include "sys/Files.h"

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

}  // namespace

// A link or a larger file put in a sealed file's place after the check must not stall the run.
TFileCheck SealedFileCheck(const std::string& folder, const TManifest& manifest) {
  return [folder, manifest](const std::string& path, std::string& bytes, std::string& refusal) {
    const std::string rel = InFolder(folder, path);
    bytes.clear();
    const TManifestEntry* e = manifest.Find(rel);
    if (!e) return CheckBytes(manifest, rel, bytes, refusal);
    std::string why;
    const size_t limit = static_cast<size_t>(std::min<uint64_t>(e->Size, SIZE_MAX - 1)) + 1;
    const TLook look = ReadBelow(folder, rel, bytes, why, limit);
    if (look == TLook::NotFound) return false;
    if (look != TLook::Found) {
      refusal = Excerpt(rel) + ": cannot be read (" + why + ")";
      return false;
    }
    return CheckBytes(manifest, rel, bytes, refusal);
  };
}

void ReadStationPolicy(const std::string& path, TSealPolicy& policy) {
  std::error_code ec;
  // A link to nothing is a policy that cannot be read, not a station without one.
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) return;
  const auto refuse = [&](const std::string& why) {
    policy.Errors.push_back(why + ", so no package is accepted");
  };
  std::vector<std::string> lines;
  std::string why;
  if (!ReadTextLines(path, lines, &why))
    return refuse(Excerpt(path) + ": cannot be read (" + why + ")");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (i == 0 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    const std::string where = Excerpt(path) + ":" + std::to_string(i + 1) + ": ";
    const size_t eq = line.find('=');
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = eq == line.npos ? "" : Trim(line.substr(eq + 1));
    if (key.empty() && eq == line.npos) continue;
    if (key.starts_with('#')) continue;
    if (key == "STATION" || key == "HISTORY_DB") {
      (key == "STATION" ? policy.Station : policy.HistoryDb) = value;
    } else if (key != "REQUIRE_SEAL" || eq == line.npos) {
      refuse(where + "unknown key \"" + Excerpt(Trim(line), 40) +
             "\" (REQUIRE_SEAL, STATION or HISTORY_DB expected)");
    } else if (value == "1") {
      policy.RequireSeal = true;
      policy.RequiredBy = Excerpt(path) + " (REQUIRE_SEAL=1)";
    } else if (value != "0") {
      refuse(where + "REQUIRE_SEAL=" + Excerpt(value, 40) + ": 0 or 1 expected");
    }
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
    state = CheckSeal(folder, LoadTrustedKeys(policy.Trust), [&] {
      TScriptCheck check(folder);
      check.Run(script);
      return PackageFiles(folder, check);
    });
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
    if (state.Verified) verdict.FileCheck = SealedFileCheck(folder, state.Manifest);
    return verdict;
  };
}
