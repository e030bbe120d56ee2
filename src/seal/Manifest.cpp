#include "seal/Manifest.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "app/AtomicFile.h"
#include "formats/text.h"
#include "seal/Minisign.h"

namespace {

constexpr std::string_view kHeader = "qubra-updater package manifest 1";

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

bool IsHexDigest(std::string_view s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Why `path` cannot stand in a manifest, or "".
std::string PathFault(std::string_view path) {
  if (path.empty()) return "empty path";
  if (path.front() == '/') return "absolute path";
  for (unsigned char c : path) {
    if (c < ' ' || c == 0x7F) return "control character in the path";
  }
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return "\".\", \"..\" or \"//\" in the path";
    start = end + 1;
  }
  return {};
}

std::string Describe(std::string_view path) {
  return Excerpt(path);
}

void SortByPath(TManifest& manifest) {
  std::sort(manifest.Entries.begin(), manifest.Entries.end(),
            [](const TManifestEntry& a, const TManifestEntry& b) { return a.Path < b.Path; });
}

// One line "SHA SIZE PATH" into `entry`; false with the reason.
bool ParseEntry(std::string_view line, TManifestEntry& entry, std::string& why) {
  const size_t first = line.find(' ');
  const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos) {
    why = "expected \"SHA-256 SIZE PATH\"";
    return false;
  }
  const std::string_view hash = line.substr(0, first);
  const std::string_view size = line.substr(first + 1, second - first - 1);
  if (!IsHexDigest(hash)) {
    why = "bad SHA-256 \"" + Excerpt(hash, 80) + "\" (64 lower-case hex digits expected)";
    return false;
  }
  const auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), entry.Size);
  if (size.empty() || ec != std::errc() || end != size.data() + size.size()) {
    why = "bad size \"" + Excerpt(size, 80) + "\"";
    return false;
  }
  entry.Sha256 = hash;
  entry.Path = line.substr(second + 1);
  why = PathFault(entry.Path);
  return why.empty();
}

}  // namespace

const TManifestEntry* TManifest::Find(std::string_view path) const {
  const auto it =
      std::lower_bound(Entries.begin(), Entries.end(), path,
                       [](const TManifestEntry& e, std::string_view p) { return e.Path < p; });
  return it != Entries.end() && it->Path == path ? &*it : nullptr;
}

std::string Sha256Hex(std::string_view bytes) {
  uint8_t digest[crypto_hash_sha256_BYTES];
  if (!StartSodium()) return {};
  crypto_hash_sha256(digest, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return Hex(digest, sizeof digest);
}

bool HashFile(const std::string& path, uint64_t& size, std::string& sha256, std::string& error) {
  if (!StartSodium()) {
    error = "the cryptography library cannot be started";
    return false;
  }
  std::FILE* f = OpenRegularFile(path, error);
  if (!f) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  size = 0;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    crypto_hash_sha256_update(&state, buf, n);
    size += n;
  }
  const bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) {
    error = "read error";
    return false;
  }
  uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  sha256 = Hex(digest, sizeof digest);
  return true;
}

std::string FormatManifest(const TManifest& manifest) {
  TManifest sorted = manifest;
  SortByPath(sorted);
  std::string text = std::string(kHeader) +
                     "\n# SHA-256, size in bytes, path in the package folder; sign this file with"
                     "\n# minisign -Sm package.manifest\n";
  for (const TManifestEntry& e : sorted.Entries) {
    text += e.Sha256 + ' ' + std::to_string(e.Size) + ' ' + e.Path + '\n';
  }
  return text;
}

std::optional<TManifest> ParseManifest(std::string_view text, const std::string& where,
                                       std::string& error) {
  const std::vector<std::string> lines = SplitLines(text);
  if (lines.empty() || lines[0] != kHeader) {
    error = where + ":1: not a package manifest (the first line is not \"" + std::string(kHeader) +
            "\")";
    return std::nullopt;
  }
  TManifest manifest;
  std::map<std::string, size_t> first_line;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string at = where + ":" + std::to_string(i + 1) + ": ";
    if (lines[i].starts_with('#')) continue;
    TManifestEntry entry;
    std::string why;
    if (!ParseEntry(lines[i], entry, why)) {
      error = at + why;
      return std::nullopt;
    }
    const auto [it, added] = first_line.emplace(entry.Path, i + 1);
    if (!added) {
      error = at + Describe(entry.Path) + " is listed twice (first on line " +
              std::to_string(it->second) + ")";
      return std::nullopt;
    }
    manifest.Entries.push_back(std::move(entry));
  }
  SortByPath(manifest);
  return manifest;
}

std::optional<TManifest> BuildManifest(const std::string& folder,
                                       const std::vector<std::string>& paths, std::string& error) {
  TManifest manifest;
  for (const std::string& path : std::set<std::string>(paths.begin(), paths.end())) {
    TManifestEntry entry{path, 0, {}};
    if (const std::string fault = PathFault(path); !fault.empty()) {
      error = Describe(path) + ": cannot be sealed: " + fault;
      return std::nullopt;
    }
    std::string why;
    if (!HashFile(folder + path, entry.Size, entry.Sha256, why)) {
      error = Describe(folder + path) + ": " + why;
      return std::nullopt;
    }
    manifest.Entries.push_back(std::move(entry));
  }
  SortByPath(manifest);
  return manifest;
}

bool WriteManifest(const std::string& folder, const TManifest& manifest, std::string& error) {
  TAtomicFile file(folder + kManifestName);
  if (!file.Open() || !file.Write(FormatManifest(manifest)) || !file.Commit()) {
    error = file.Error();
    return false;
  }
  return true;
}

std::vector<std::string> CompareFolder(const std::string& folder, const TManifest& manifest,
                                       const std::vector<std::string>& named) {
  std::vector<std::string> differences;
  for (const TManifestEntry& e : manifest.Entries) {
    uint64_t size = 0;
    std::string sha, why;
    struct stat st;
    if (::lstat((folder + e.Path).c_str(), &st) != 0 && errno == ENOENT) {
      differences.push_back(Describe(e.Path) + ": missing");
    } else if (!HashFile(folder + e.Path, size, sha, why)) {
      differences.push_back(Describe(e.Path) + ": cannot be read (" + why + ")");
    } else if (size != e.Size) {
      differences.push_back(Describe(e.Path) + ": size differs (" + std::to_string(size) +
                            " bytes, " + std::to_string(e.Size) + " when sealed)");
    } else if (sha != e.Sha256) {
      differences.push_back(Describe(e.Path) + ": changed since the package was sealed");
    }
  }
  for (const std::string& path : std::set<std::string>(named.begin(), named.end())) {
    if (!manifest.Find(path)) {
      differences.push_back(Describe(path) + ": not listed in " + kManifestName);
    }
  }
  return differences;
}

std::string CheckBytes(const TManifest& manifest, const std::string& path, std::string_view bytes) {
  const TManifestEntry* e = manifest.Find(path);
  if (!e) return Describe(path) + ": not listed in " + kManifestName;
  if (bytes.size() != e->Size || Sha256Hex(bytes) != e->Sha256) {
    return Describe(path) + ": changed since the package was sealed";
  }
  return {};
}
