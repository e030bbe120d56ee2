#pragma once

#include <string>
#include <vector>

#include "app/PackageGate.h"
#include "seal/Seal.h"

inline constexpr char kStationPolicyFile[] = "/etc/qubra-updater/policy";

// What a station asks of the packages it runs.
struct TSealPolicy {
  TTrustPlaces Trust;
  std::string KeyFolder;  // where keys the operator adds go, ending with '/'; "" for nowhere
  bool RequireSeal = false;
  std::string RequiredBy;  // what asks for sealed packages, for the operator
  // A policy that could not be read: every run is refused with these lines.
  std::vector<std::string> Errors;
  // Where the station keeps its runs (HISTORY_DB=) and the name they are recorded under
  // (STATION=); "" when the policy does not say.
  std::string HistoryDb{}, Station{};
};

// Adds the station's policy file (KEY=VALUE lines; REQUIRE_SEAL=1 refuses unsealed packages,
// HISTORY_DB= and STATION= place its history) to `policy`. A file that does not exist asks
// nothing; one that cannot be read (a link to nothing too), an unknown key or a REQUIRE_SEAL
// other than 0 or 1 refuses every run.
void ReadStationPolicy(const std::string& path, TSealPolicy& policy);

class TScriptCheck;

// The files `check` found a run may read, relative to `folder` (ending with '/') where they lie
// inside it.
std::vector<std::string> PackageFiles(const std::string& folder, const TScriptCheck& check);

// The seal of the package in `folder` as a run of `script` finds it, with the policy's
// reasons to refuse it among the problems.
TSealState CheckPackageSeal(const std::string& folder, const std::string& script,
                            const TSealPolicy& policy);

// How a run reads the files of the sealed package in `folder`: only those `manifest` lists, as
// they were sealed, inside the package through no link and never past their sealed size.
TFileCheck SealedFileCheck(const std::string& folder, const TManifest& manifest);

// The gate a run controller asks before each run: the seal checked afresh (keys added since
// count), and for a sealed package every file the run reads held against the manifest.
TPackageGate MakeSealGate(TSealPolicy policy);
