#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The list of files a sealed package holds, "package.manifest" in the package folder:
//
//   qubra-updater package manifest 1
//   # comment lines start with '#'
//   <SHA-256, 64 lower-case hex digits> <size in bytes, decimal> <path>
//
// one file per line, fields separated by one space, the path (the rest of the line, spaces
// allowed) relative to the package folder with '/' between folders, no "." or ".." parts. Lines
// end in LF; files are sorted by path, byte by byte, so one package always gives the same file.

inline constexpr char kManifestName[] = "package.manifest";

struct TManifestEntry {
  std::string Path;
  uint64_t Size = 0;
  std::string Sha256;  // lower-case hex

  bool operator==(const TManifestEntry&) const = default;
};

struct TManifest {
  std::vector<TManifestEntry> Entries;  // sorted by path

  const TManifestEntry* Find(std::string_view path) const;
};

std::string FormatManifest(const TManifest& manifest);
// `where` names the file in errors, as "where:LINE: what is wrong".
[[nodiscard]] bool ParseManifest(std::string_view text, const std::string& where, TManifest& out,
                                 std::string& error);

// The manifest of the files `paths` (relative to `folder`, which ends with '/'). Each file is
// hashed once however often it is named. False, with the reason, when one cannot be read or
// its path cannot be written into a manifest.
[[nodiscard]] bool BuildManifest(const std::string& folder, const std::vector<std::string>& paths,
                                 TManifest& out, std::string& error);
// Writes `manifest` into `folder` as "package.manifest", through a temporary file.
[[nodiscard]] bool WriteManifest(const std::string& folder, const TManifest& manifest,
                                 std::string& error);

// Every way `folder` differs from `manifest`, one line each ("Qubra/BANK3.HEX: changed since
// the package was sealed"), in the manifest's order, then the files of `named` (relative to
// `folder`) it does not list.
std::vector<std::string> CompareFolder(const std::string& folder, const TManifest& manifest,
                                       const std::vector<std::string>& named);

// How the file of `e` in `folder` differs from it, or "" when it does not. Only a regular file
// of the package reached through no link is read, and no further than its sealed size;
// `refused` tells one that is not such a file (or cannot be opened) from one missing or changed.
std::string CompareFile(const std::string& folder, const TManifestEntry& e, bool& refused);
// The files of `named` that `manifest` does not list, one line each.
std::vector<std::string> NotListed(const TManifest& manifest,
                                   const std::vector<std::string>& named);

// True when `bytes` read from `path` (relative to the package folder) are the sealed bytes;
// otherwise false with what is wrong.
[[nodiscard]] bool CheckBytes(const TManifest& manifest, const std::string& path,
                              std::string_view bytes, std::string& error);
