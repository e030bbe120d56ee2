#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Public keys and detached signatures in the minisign tool's formats, read and checked here.
// Signing stays with that tool: no secret key ever passes through this program.
//
// Public key file: a comment line, then base64 of "Ed", the 8-byte key id and the 32-byte
// Ed25519 key. Signature file: "untrusted comment: ...", base64 of "ED" (signs the BLAKE2b-512
// of the file) or "Ed" (legacy: signs the file itself), the key id and the 64-byte signature,
// then "trusted comment: ..." and base64 of the signature of that signature followed by the
// trusted comment. Lines are read as the tool reads them, so a damaged file gets the same
// verdict from both.

using TKeyId = std::array<uint8_t, 8>;

struct TPublicKey {
  TKeyId Id{};
  std::array<uint8_t, 32> Key{};
};

struct TSignature {
  bool Prehashed = true;
  TKeyId KeyId{};
  std::array<uint8_t, 64> Sig{};
  std::string TrustedComment;
  std::array<uint8_t, 64> GlobalSig{};
};

// The key id as the tool prints it: the 8 bytes as a little-endian number in upper-case hex.
std::string KeyIdText(const TKeyId& id);

// `where` names the file in the error, as "where:LINE: what is wrong".
[[nodiscard]] bool ParsePublicKey(std::string_view text, const std::string& where, TPublicKey& key,
                                  std::string& error);
[[nodiscard]] bool ParseSignature(std::string_view text, const std::string& where, TSignature& sig,
                                  std::string& error);

// True when `sig` is `key`'s signature of `message` and of its trusted comment; otherwise false
// with what failed. REQUIRES: the key ids match (the caller picks the key by id).
[[nodiscard]] bool VerifySignature(const TPublicKey& key, const TSignature& sig,
                                   std::string_view message, std::string& error);

// False when libsodium cannot be started. The functions that need it start it themselves.
bool StartSodium();
