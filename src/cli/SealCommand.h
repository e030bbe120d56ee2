#pragma once

#include <iosfwd>
#include <string>

#include "seal/SealGate.h"

struct Options;

// The seal policy of this process: the --trust files, the station's and the user's key
// folders, --require-seal, and the station's policy file.
TSealPolicy SealPolicyFor(const Options& options,
                          const std::string& policy_file = kStationPolicyFile);

// True when every --trust file holds a key; otherwise false with why they cannot serve, one
// line each.
[[nodiscard]] bool TrustFilesServe(const Options& options, std::string& error);

// --seal: writes package.manifest for every file a run of the package in `program_dir` may
// read (script.ini's, and readid.ini's when present). A package the package check faults is
// not sealed. 0 written, 1 not.
int RunSeal(const std::string& program_dir, std::ostream& out, std::ostream& err);
