#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// The one SHA-256 of the program: records, manifests and seals agree on every file's hash.

// Lower-case hex SHA-256 of `bytes`; "" when the cryptography library cannot be started.
std::string Sha256Hex(std::string_view bytes);
// Size and lower-case hex SHA-256 of the regular file at `path`, read in pieces. False, with
// the reason, when it cannot be read or is not a regular file.
[[nodiscard]] bool Sha256File(const std::string& path, uint64_t& size, std::string& sha256,
                              std::string& error);
// The same of what an open file holds from its start, whatever has been read of it; the
// position is left at the start. `each` sees every piece read, for a caller that needs more
// than the hash from the same pass.
[[nodiscard]] bool Sha256OpenFile(std::FILE* file, uint64_t& size, std::string& sha256,
                                  std::string& error,
                                  const std::function<void(std::string_view)>& each = {});
