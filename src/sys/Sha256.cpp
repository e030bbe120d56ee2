#include "sys/Sha256.h"

#include <sodium.h>

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
                    const std::function<void(std::string_view)>& each) {
  if (!Started()) {
    error = "the cryptography library cannot be started";
    return false;
  }
  std::rewind(file);
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  size = 0;
  uint8_t buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0; size += n) {
    crypto_hash_sha256_update(&state, buf, n);
    if (each) each(std::string_view(reinterpret_cast<const char*>(buf), n));
  }
  const int read_error = std::ferror(file) ? errno : 0;
  std::rewind(file);
  if (read_error != 0) {
    error = SysErrorText(read_error);
    return false;
  }
  uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  sha256 = Hex(digest, sizeof digest);
  return true;
}
