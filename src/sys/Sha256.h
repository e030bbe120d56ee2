#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The one SHA-256 of the program: records, manifests and seals agree on every file's hash.

// Lower-case hex SHA-256 of `bytes`; "" when the cryptography library cannot be started.
std::string Sha256Hex(std::string_view bytes);
// Size and lower-case hex SHA-256 of the regular file at `path`, read in pieces. False, with
// the reason, when it cannot be read or is not a regular file.
[[nodiscard]] bool Sha256File(const std::string& path, uint64_t& size, std::string& sha256,
                              std::string& error);
// The same of what an open file holds from its start, whatever has been read of it, at most its
// first `max_bytes`; the position is left at the start. `each` sees every piece read, for a
// caller that needs more than the hash from the same pass.
[[nodiscard]] bool Sha256OpenFile(std::FILE* file, uint64_t& size, std::string& sha256,
                                  std::string& error,
                                  const std::function<void(std::string_view)>& each = {},
                                  uint64_t max_bytes = UINT64_MAX);

struct crypto_hash_sha256_state;

// A SHA-256 taken piece by piece, for bytes hashed in the same pass that uses them.
class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  void Add(std::string_view piece);
  // Lower-case hex of all added so far ("" as Sha256Hex); more may be added afterwards.
  std::string Hex() const;
  void Restart();

 private:
  std::unique_ptr<crypto_hash_sha256_state> State;
};
