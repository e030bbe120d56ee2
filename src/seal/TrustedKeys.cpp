#include "seal/TrustedKeys.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/AtomicFile.h"
#include "formats/text.h"
#include "seal/Manifest.h"

namespace {

// Enough for the lines of a key file the minisign tool reads; the rest is never looked at.
constexpr size_t kKeyFileBytes = 4096;

// The key in the file at `path`, its text in `text`; nullopt with the reason.
std::optional<TPublicKey> ReadKeyFile(const std::string& path, std::string& text,
                                      std::string& error) {
  if (ReadFileBytes(path, text, error, kKeyFileBytes))
    return ParsePublicKey(text, Excerpt(path), error);
  error = Excerpt(path) + ": " + error;
  return std::nullopt;
}

void LoadKeyFile(const std::string& path, TTrustStore& store) {
  std::string text, error;
  if (const auto key = ReadKeyFile(path, text, error))
    store.Keys.push_back({*key, path});
  else
    store.Errors.push_back(error);
}

void LoadKeyFolder(const std::string& folder, TTrustStore& store) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    if (errno != ENOENT) store.Errors.push_back(Excerpt(folder) + ": " + std::strerror(errno));
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.ends_with(".pub")) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) LoadKeyFile(folder + name, store);
}

}  // namespace

std::string UserTrustFolder(const char* xdg_config_home, const char* home) {
  std::string config;
  if (xdg_config_home && xdg_config_home[0] == '/') {
    config = xdg_config_home;
  } else if (home && home[0] != '\0') {
    config = std::string(home) + "/.config";
  } else {
    return {};
  }
  if (!config.ends_with('/')) config += '/';
  return config + "qubra-updater/trusted.d/";
}

std::vector<std::string> DefaultTrustFolders(const char* xdg_config_home, const char* home) {
  std::vector<std::string> folders{kStationTrustFolder};
  if (std::string user = UserTrustFolder(xdg_config_home, home); !user.empty()) {
    folders.push_back(std::move(user));
  }
  return folders;
}

std::vector<const TTrustedKey*> TTrustStore::WithId(const TKeyId& id) const {
  std::vector<const TTrustedKey*> found;
  for (const TTrustedKey& k : Keys) {
    if (k.Key.Id == id) found.push_back(&k);
  }
  return found;
}

TTrustStore LoadTrustedKeys(const TTrustPlaces& places) {
  TTrustStore store;
  for (const std::string& file : places.Files) LoadKeyFile(file, store);
  for (const std::string& folder : places.Folders) LoadKeyFolder(folder, store);
  return store;
}

bool AddTrustedKey(const std::string& path, const std::string& folder, std::string& key_id,
                   std::string& error) {
  std::string text;
  const auto key = ReadKeyFile(path, text, error);
  if (!key) return false;
  key_id = KeyIdText(key->Id);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = Excerpt(folder) + ": " + ec.message();
    return false;
  }
  TAtomicFile file(folder + key_id + ".pub");
  if (file.Open() && file.Write(text) && file.Commit()) return true;
  error = file.Error();
  return false;
}
