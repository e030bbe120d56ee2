#include "seal/Minisign.h"

#include <sodium.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/text.h"

namespace {

// The tool's line buffers; a longer line is read in pieces, as fgets reads it.
constexpr size_t kCommentBytes = 1024;
constexpr size_t kTrustedCommentBytes = 8192;
constexpr size_t Base64Buffer(size_t bin) {
  return (bin + 2) / 3 * 4 + 1 + 2;
}

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kKeyBytes = 2 + 8 + 32;
constexpr size_t kSigBytes = 2 + 8 + 64;

// Reads lines as fgets into a buffer of a given size does, then cuts them where the tool
// does: at the first CR, LF or NUL. A CR is a line end only right before the LF.
class TLines {
 public:
  TLines(std::string_view text, const std::string& where) : text_(text), where_(where) {}

  // `whole`: the tool takes the line only when its LF comes within the buffer, before any NUL.
  bool Next(size_t buffer, std::string& line, std::string& error, bool whole = false) {
    ++number_;
    if (at_ >= text_.size()) {
      error = Where() + "missing line";
      return false;
    }
    size_t end = at_;
    while (end < text_.size() && end - at_ < buffer - 1 && text_[end] != '\n') ++end;
    const bool ended = end < text_.size() && end - at_ < buffer - 1;
    if (ended) ++end;  // the LF itself
    line.assign(text_.substr(at_, end - at_));
    at_ = end;
    const size_t nul = line.find('\0');
    if (whole && (!ended || nul != line.npos)) {
      error = Where() + (nul != line.npos ? "holds a NUL byte"
                         : end < text_.size()
                             ? "is longer than " + std::to_string(buffer - 2) + " bytes"
                             : "has no line end");
      return false;
    }
    const size_t cr = line.find('\r');
    if (cr != line.npos && cr + 1 != line.size() - ended) {
      error = Where() + "holds a carriage return inside the line";
      return false;
    }
    line.resize(std::min(line.size(), line.find_first_of(std::string_view("\r\n\0", 3))));
    return true;
  }
  std::string Where() const { return where_ + ":" + std::to_string(number_) + ": "; }

 private:
  std::string_view text_;
  const std::string& where_;
  size_t at_ = 0;
  int number_ = 0;
};

// Decodes one base64 line of exactly `size` bytes.
bool Decode(const std::string& line, size_t size, uint8_t* out, const std::string& where,
            const char* what, std::string& error) {
  std::vector<uint8_t> bin(line.size() / 4 * 3 + 3);
  size_t length = 0;
  if (sodium_base642bin(bin.data(), bin.size(), line.data(), line.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    error = where + what + " is not base64: \"" + Excerpt(line, 100) + "\"";
    return false;
  }
  if (length != size) {
    error = where + what + " holds " + std::to_string(length) + " bytes where " +
            std::to_string(size) + " belong";
    return false;
  }
  std::memcpy(out, bin.data(), size);
  return true;
}

// The two algorithm bytes, readable whatever they hold.
std::string AlgorithmText(const uint8_t* alg) {
  std::string text;
  for (int i = 0; i < 2; ++i) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", alg[i]);
    text += alg[i] > ' ' && alg[i] < 0x7F ? std::string(1, static_cast<char>(alg[i])) : hex;
  }
  return text;
}

}  // namespace

bool StartSodium() {
  return sodium_init() >= 0;
}

std::string KeyIdText(const TKeyId& id) {
  uint64_t n = 0;
  for (size_t i = id.size(); i-- > 0;) n = n << 8 | id[i];
  char text[17];
  std::snprintf(text, sizeof text, "%" PRIX64, n);
  return text;
}

static std::optional<TPublicKey> KeyOf(std::string_view text, const std::string& where,
                                       std::string& error) {
  TLines lines(text, where);
  std::string comment, encoded;
  if (!lines.Next(kCommentBytes, comment, error) ||
      !lines.Next(Base64Buffer(kKeyBytes), encoded, error)) {
    return std::nullopt;
  }
  uint8_t bin[kKeyBytes];
  if (!Decode(encoded, kKeyBytes, bin, lines.Where(), "the public key", error)) {
    return std::nullopt;
  }
  if (std::memcmp(bin, "Ed", 2) != 0) {
    error = lines.Where() + "unsupported key algorithm \"" + AlgorithmText(bin) + "\"";
    return std::nullopt;
  }
  TPublicKey key;
  std::memcpy(key.Id.data(), bin + 2, key.Id.size());
  std::memcpy(key.Key.data(), bin + 10, key.Key.size());
  return key;
}

static std::optional<TSignature> SignatureOf(std::string_view text, const std::string& where,
                                             std::string& error) {
  TLines lines(text, where);
  std::string comment, encoded, trusted, global;
  if (!lines.Next(kCommentBytes, comment, error, true)) return std::nullopt;
  if (!comment.starts_with(kUntrustedPrefix)) {
    error = lines.Where() + "does not start with \"" + std::string(kUntrustedPrefix) + "\"";
    return std::nullopt;
  }
  if (!lines.Next(Base64Buffer(kSigBytes), encoded, error, true)) return std::nullopt;
  const std::string sig_where = lines.Where();
  if (!lines.Next(kTrustedCommentBytes, trusted, error, true)) return std::nullopt;
  if (!trusted.starts_with(kTrustedPrefix)) {
    error = lines.Where() + "does not start with \"" + std::string(kTrustedPrefix) + "\"";
    return std::nullopt;
  }
  if (std::ranges::any_of(trusted,
                          [](char c) { return (c > 0 && c < ' ' && c != '\t') || c == 0x7F; })) {
    error = lines.Where() + "the trusted comment is not printable text";
    return std::nullopt;
  }
  if (!lines.Next(Base64Buffer(64), global, error)) return std::nullopt;
  TSignature sig;
  uint8_t bin[kSigBytes];
  if (!Decode(encoded, kSigBytes, bin, sig_where, "the signature", error)) return std::nullopt;
  if (std::memcmp(bin, "Ed", 2) != 0 && std::memcmp(bin, "ED", 2) != 0) {
    error = sig_where + "unsupported signature algorithm \"" + AlgorithmText(bin) + "\"";
    return std::nullopt;
  }
  if (!Decode(global, 64, sig.GlobalSig.data(), lines.Where(), "the comment signature", error)) {
    return std::nullopt;
  }
  sig.Prehashed = bin[1] == 'D';
  std::memcpy(sig.KeyId.data(), bin + 2, sig.KeyId.size());
  std::memcpy(sig.Sig.data(), bin + 10, sig.Sig.size());
  sig.TrustedComment = trusted.substr(kTrustedPrefix.size());
  return sig;
}

static std::string SignatureFault(const TPublicKey& key, const TSignature& sig,
                                  std::string_view message) {
  if (!StartSodium()) return "the cryptography library cannot be started";
  const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
  uint8_t hash[crypto_generichash_BYTES_MAX];
  if (sig.Prehashed) {
    crypto_generichash(hash, sizeof hash, bytes, message.size(), nullptr, 0);
    bytes = hash;
  }
  if (crypto_sign_verify_detached(sig.Sig.data(), bytes,
                                  sig.Prehashed ? sizeof hash : message.size(),
                                  key.Key.data()) != 0) {
    return "the signature does not match";
  }
  std::string signed_comment(reinterpret_cast<const char*>(sig.Sig.data()), sig.Sig.size());
  signed_comment += sig.TrustedComment;
  if (crypto_sign_verify_detached(sig.GlobalSig.data(),
                                  reinterpret_cast<const uint8_t*>(signed_comment.data()),
                                  signed_comment.size(), key.Key.data()) != 0) {
    return "the trusted comment does not match its signature";
  }
  return {};
}

bool ParsePublicKey(std::string_view text, const std::string& where, TPublicKey& key,
                    std::string& error) {
  const std::optional<TPublicKey> parsed = KeyOf(text, where, error);
  if (parsed) key = *parsed;
  return parsed.has_value();
}

bool ParseSignature(std::string_view text, const std::string& where, TSignature& sig,
                    std::string& error) {
  const std::optional<TSignature> parsed = SignatureOf(text, where, error);
  if (parsed) sig = *parsed;
  return parsed.has_value();
}

bool VerifySignature(const TPublicKey& key, const TSignature& sig, std::string_view message,
                     std::string& error) {
  error = SignatureFault(key, sig, message);
  return error.empty();
}
