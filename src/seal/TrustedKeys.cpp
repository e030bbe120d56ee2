#include "seal/TrustedKeys.h"

#include <algorithm>

#include "formats/text.h"
#include "seal/Manifest.h"
#include "sys/AtomicFile.h"
#include "sys/Files.h"

namespace {

// Enough for the lines of a key file the minisign tool reads; the rest is never looked at.
constexpr size_t kKeyFileBytes = 4096;

// The key in the file at `path`, its text in `text`; false with the reason.
bool ReadKeyFile(const std::string& path, std::string& text, TPublicKey& key, std::string& error) {
  if (ReadWholeFile(path, text, error, kKeyFileBytes) == TLook::Found)
    return ParsePublicKey(text, Excerpt(path), key, error);
  error = Excerpt(path) + ": " + error;
  return false;
}

void LoadKeyFile(const std::string& path, TTrustStore& store) {
  std::string text, error;
  if (TPublicKey key; ReadKeyFile(path, text, key, error))
    store.Keys.push_back({key, path});
  else
    store.Errors.push_back(error);
}

void LoadKeyFolder(const std::string& folder, TTrustStore& store) {
  std::vector<std::string> names;
  std::string error;
  if (const TLook look = ListFolder(folder, names, error); look != TLook::Found) {
    if (look == TLook::Failed) store.Errors.push_back(Excerpt(folder) + ": " + error);
    return;
  }
  std::erase_if(
      names, [](const std::string& name) { return name.size() <= 4 || !name.ends_with(".pub"); });
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
  store.HowToTrust = places.HowToTrust;
  for (const std::string& file : places.Files) LoadKeyFile(file, store);
  for (const std::string& folder : places.Folders) LoadKeyFolder(folder, store);
  return store;
}

bool AddTrustedKey(const std::string& path, const std::string& folder, std::string& key_id,
                   std::string& error) {
  std::string text;
  TPublicKey key;
  if (!ReadKeyFile(path, text, key, error)) return false;
  key_id = KeyIdText(key.Id);
  // As the user's umask allows, like any folder of the user's settings.
  if (!MakeFolders(folder, 0777, error)) return false;
  TAtomicFile file(folder + key_id + ".pub");
  if (file.Open() && file.Write(text) && file.Commit()) return true;
  error = file.Error();
  return false;
}
