#pragma once

#include <functional>
#include <string>
#include <vector>

#include "seal/Manifest.h"
#include "seal/TrustedKeys.h"

// A sealed package holds "package.manifest" and its signature beside it.
inline constexpr char kSignatureName[] = "package.manifest.minisig";

// What a package's seal says, for the run record, the status box and the package check.
struct TSealState {
  bool Sealed = false;    // the package holds a manifest
  bool Verified = false;  // signed by a trusted key, and every file is as it was sealed
  std::string ManifestSha256;
  std::string KeyId;                  // "" when no signature could be read
  std::string TrustedComment;         // as read; vouched for only when Verified
  std::vector<std::string> Problems;  // every reason it is not verified, one line each
  TManifest Manifest;
};

// The files a run may read, relative to the package folder; finding them may read the scripts.
using TNamedFiles = std::function<std::vector<std::string>()>;

// Checks the seal of the package in `folder` (ending with '/') against `trust`: the signature,
// then, when a trusted key signed it, every file the manifest lists, then, unless one of them is
// a link or no regular file, that each of `named()` is listed. Reports every problem found.
TSealState CheckSeal(const std::string& folder, const TTrustStore& trust,
                     const TNamedFiles& named);

// One line for the operator: "Package sealed by key ... (trusted)", "Package not sealed", or
// the first reason the package is not accepted.
std::string SealStatusText(const TSealState& state);
