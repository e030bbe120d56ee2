#pragma once

#include <string>
#include <vector>

#include "seal/Minisign.h"

// The public keys whose signatures a station accepts. They come from outside the package, never
// from the package itself: the files named on the command line and the "*.pub" files of the
// station's and the user's key folders.

inline constexpr char kStationTrustFolder[] = "/etc/qubra-updater/trusted.d/";

struct TTrustPlaces {
  std::vector<std::string> Files;
  std::vector<std::string> Folders;  // each ending with '/'; one that does not exist holds none
  // How the operator trusts another key where the check is made; "" for the command line's way.
  std::string HowToTrust{};
};

// The user's key folder: $XDG_CONFIG_HOME (when set and absolute, otherwise $HOME/.config)
// followed by "qubra-updater/trusted.d/". "" when neither variable helps.
std::string UserTrustFolder(const char* xdg_config_home, const char* home);
// The station's folder, then the user's.
std::vector<std::string> DefaultTrustFolders(const char* xdg_config_home, const char* home);

struct TTrustedKey {
  TPublicKey Key;
  std::string Source;  // the file it was read from
};

struct TTrustStore {
  std::vector<TTrustedKey> Keys;
  // One line per key file or folder that could not be read; the keys that could are kept.
  std::vector<std::string> Errors;
  std::string HowToTrust;  // as the places say

  std::vector<const TTrustedKey*> WithId(const TKeyId& id) const;
};

// Files first, in the order given, then each folder's "*.pub" files sorted by name.
TTrustStore LoadTrustedKeys(const TTrustPlaces& places);

// Copies the public key file `path` into `folder` (made when missing) as KEYID.pub, through a
// temporary file, and sets `key_id`. False, with the reason, when it holds no key or cannot be
// copied.
[[nodiscard]] bool AddTrustedKey(const std::string& path, const std::string& folder,
                                 std::string& key_id, std::string& error);
