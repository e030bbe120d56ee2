#include "sys/Sha256.h"

#include <sodium.h>

#include <algorithm>

#include "sys/Files.h"
#include "sys/SysError.h"

namespace {

bool Started() {
  static const bool started = sodium_init() >= 0;
  return started;
}

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  if (!Started()) return {};
  uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return Hex(digest, sizeof digest);
}

bool Sha256File(const std::string& path, uint64_t& size, std::string& sha256, std::string& error) {
  std::FILE* f = nullptr;
  if (OpenRegularFile(path, f, error) != TLook::Found) return false;
  const bool ok = Sha256OpenFile(f, size, sha256, error);
  std::fclose(f);
  return ok;
}

bool Sha256OpenFile(std::FILE* file, uint64_t& size, std::string& sha256, std::string& error,
                    const std::function<void(std::string_view)>& each, uint64_t max_bytes) {
  if (!Started()) {
    error = "the cryptography library cannot be started";
    return false;
  }
  std::rewind(file);
  TSha256 hash;
  size = 0;
  char buf[65536];
  for (size_t n; size < max_bytes &&
                 (n = std::fread(buf, 1, std::min<uint64_t>(sizeof buf, max_bytes - size), file)) > 0;
       size += n) {
    hash.Add(std::string_view(buf, n));
    if (each) each(std::string_view(buf, n));
  }
  const int read_error = std::ferror(file) ? errno : 0;
  std::rewind(file);
  if (read_error != 0) {
    error = SysErrorText(read_error);
    return false;
  }
  sha256 = hash.Hex();
  return true;
}

TSha256::TSha256() : State(std::make_unique<crypto_hash_sha256_state>()) {
  Restart();
}

TSha256::~TSha256() = default;

void TSha256::Restart() {
  crypto_hash_sha256_init(State.get());
}

void TSha256::Add(std::string_view piece) {
  crypto_hash_sha256_update(State.get(), reinterpret_cast<const uint8_t*>(piece.data()),
                            piece.size());
}

std::string TSha256::Hex() const {
  if (!Started()) return {};
  // Finishing spoils the state, so a copy is finished and the pass goes on.
  crypto_hash_sha256_state copy = *State;
  uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&copy, digest);
  return ::Hex(digest, sizeof digest);
}
