#include "seal/Manifest.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "formats/text.h"
#include "seal/Minisign.h"
#include "sys/AtomicFile.h"
#include "sys/Files.h"
#include "sys/Sha256.h"

namespace {

constexpr std::string_view kHeader = "qubra-updater package manifest 1";

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

bool ParseManifest(std::string_view text, const std::string& where, TManifest& out,
                   std::string& error) {
  const std::vector<std::string> lines = SplitLines(text);
  if (lines.empty() || lines[0] != kHeader) {
    error = where + ":1: not a package manifest (the first line is not \"" + std::string(kHeader) +
            "\")";
    return false;
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
      return false;
    }
    const auto [it, added] = first_line.emplace(entry.Path, i + 1);
    if (!added) {
      error = at + Describe(entry.Path) + " is listed twice (first on line " +
              std::to_string(it->second) + ")";
      return false;
    }
    manifest.Entries.push_back(std::move(entry));
  }
  SortByPath(manifest);
  out = std::move(manifest);
  return true;
}

bool BuildManifest(const std::string& folder, const std::vector<std::string>& paths, TManifest& out,
                   std::string& error) {
  TManifest manifest;
  for (const std::string& path : std::set<std::string>(paths.begin(), paths.end())) {
    TManifestEntry entry{path, 0, {}};
    if (const std::string fault = PathFault(path); !fault.empty()) {
      error = Describe(path) + ": cannot be sealed: " + fault;
      return false;
    }
    std::string why;
    std::FILE* f = nullptr;
    TFileStatus st;
    // Sealed as a run reads it back: a regular file of the package, reached through no link.
    const bool read = OpenBelow(folder, path, f, st, why) == TLook::Found &&
                      Sha256OpenFile(f, entry.Size, entry.Sha256, why);
    if (f) std::fclose(f);
    if (!read) {
      error = Describe(folder + path) + ": " + why;
      return false;
    }
    manifest.Entries.push_back(std::move(entry));
  }
  SortByPath(manifest);
  out = std::move(manifest);
  return true;
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
    bool refused = false;
    if (std::string d = CompareFile(folder, e, refused); !d.empty())
      differences.push_back(std::move(d));
  }
  for (std::string& d : NotListed(manifest, named)) differences.push_back(std::move(d));
  return differences;
}

std::string CompareFile(const std::string& folder, const TManifestEntry& e, bool& refused) {
  std::FILE* f = nullptr;
  TFileStatus st;
  std::string sha, why;
  const TLook look = OpenBelow(folder, e.Path, f, st, why);
  refused = look == TLook::Failed;
  if (look == TLook::NotFound) return Describe(e.Path) + ": missing";
  if (look != TLook::Found) return Describe(e.Path) + ": cannot be read (" + why + ")";
  uint64_t size = st.Size;
  // Never more than the sealed size is read: a file that claims less than it holds is no
  // reason to read on.
  const bool read = size != e.Size || Sha256OpenFile(f, size, sha, why, {}, e.Size);
  std::fclose(f);
  if (!read) return Describe(e.Path) + ": cannot be read (" + why + ")";
  if (size != e.Size) {
    return Describe(e.Path) + ": size differs (" + std::to_string(size) + " bytes, " +
           std::to_string(e.Size) + " when sealed)";
  }
  if (sha != e.Sha256) return Describe(e.Path) + ": changed since the package was sealed";
  return {};
}

std::vector<std::string> NotListed(const TManifest& manifest,
                                   const std::vector<std::string>& named) {
  std::vector<std::string> differences;
  for (const std::string& path : std::set<std::string>(named.begin(), named.end())) {
    if (!manifest.Find(path)) {
      differences.push_back(Describe(path) + ": not listed in " + kManifestName);
    }
  }
  return differences;
}

bool CheckBytes(const TManifest& manifest, const std::string& path, std::string_view bytes,
                std::string& error) {
  const TManifestEntry* e = manifest.Find(path);
  if (!e) {
    error = Describe(path) + ": not listed in " + kManifestName;
    return false;
  }
  if (bytes.size() != e->Size || Sha256Hex(bytes) != e->Sha256) {
    error = Describe(path) + ": changed since the package was sealed";
    return false;
  }
  return true;
}
