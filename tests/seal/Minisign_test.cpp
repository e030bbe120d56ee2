#include "seal/Minisign.h"

#include <gtest/gtest.h>

#include <functional>

#include "minisign_tool.h"

namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Flips the lowest bit of the 6 that the base64 character at `at` of line `line` carries.
void FlipBase64Bit(std::string& text, int line, size_t at) {
  size_t start = 0;
  for (int i = 0; i < line; ++i) start = text.find('\n', start) + 1;
  char& c = text[start + at];
  c = kBase64[kBase64.find(c) ^ 1];
}

class MinisignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveMinisign()) GTEST_SKIP() << "the minisign tool is not installed";
  }

  // Our verdict on the files as they stand: "" when the signature holds.
  std::string OurVerdict() const {
    std::string error;
    TPublicKey key;
    TSignature sig;
    if (!ParsePublicKey(ReadAll(KeyPath), "key", key, error) ||
        !ParseSignature(ReadAll(SigPath), "sig", sig, error))
      return error;
    if (sig.KeyId != key.Id) return "key id differs";
    return VerifySignature(key, sig, ReadAll(MessagePath), error) ? std::string() : error;
  }
  bool ToolAccepts() const {
    return RunMinisign("-V -p " + ShellQuote(KeyPath) + " -x " + ShellQuote(SigPath) + " -m " +
                       ShellQuote(MessagePath)) == 0;
  }

  ScratchDir Dir;
  std::string MessagePath = Dir.Path() + "rép ü€/package.manifest";
  std::string SigPath = MessagePath + ".minisig";
  std::string KeyPath;
};

struct TDamage {
  const char* Name;
  bool Legacy;
  bool Accepted;
  // Changes the message, the signature file or the public key file.
  std::function<void(std::string& message, std::string& sig, std::string& key)> Apply;
  const char* TrustedComment = nullptr;  // signed instead of the tool's own
  bool ToolLags = false;                 // refused by later tool versions than the one here
};

TEST_F(MinisignTest, OursAndTheToolAgreeOnEveryDamage) {
  const TToolKey author(Dir, "author"), other(Dir, "other");
  const std::string other_key = ReadAll(other.Pub);
  const std::vector<TDamage> damages = {
      {"intact", false, true, [](auto&, auto&, auto&) {}},
      {"intact legacy", true, true, [](auto&, auto&, auto&) {}},
      {"CR LF line ends", false, true,
       [](auto&, std::string& sig, std::string& key) {
         for (std::string* s : {&sig, &key}) {
           for (size_t at = 0; (at = s->find('\n', at)) != std::string::npos; at += 2) {
             s->insert(at, "\r");
           }
         }
       }},
      {"no line end after the last line", false, true,
       [](auto&, std::string& sig, auto&) { sig.pop_back(); }},
      {"flipped bit in the signature", false, false,
       [](auto&, std::string& sig, auto&) { FlipBase64Bit(sig, 1, 40); }},
      {"flipped bit in the legacy signature", true, false,
       [](auto&, std::string& sig, auto&) { FlipBase64Bit(sig, 1, 40); }},
      {"flipped bit in the key id", false, false,
       [](auto&, std::string& sig, auto&) { FlipBase64Bit(sig, 1, 5); }},
      {"flipped bit in the comment signature", false, false,
       [](auto&, std::string& sig, auto&) { FlipBase64Bit(sig, 3, 20); }},
      {"flipped bit in the trusted comment", false, false,
       [](auto&, std::string& sig, auto&) { sig[sig.find("trusted comment: t") + 17] ^= 1; }},
      {"flipped bit in the manifest", false, false,
       [](std::string& message, auto&, auto&) { message[7] ^= 0x10; }},
      {"flipped bit in the manifest, legacy", true, false,
       [](std::string& message, auto&, auto&) { message[7] ^= 0x10; }},
      {"untrusted comment changed", false, true,
       [](auto&, std::string& sig, auto&) { sig.insert(19, "edited "); }},
      {"key id that matches, key that does not", false, false,
       [&](auto&, auto&, std::string& key) {
         const size_t line = key.find('\n') + 1, other_line = other_key.find('\n') + 1;
         // Base64 characters 0..13 hold the algorithm and the key id, the rest the key.
         key.replace(line + 14, 42, other_key.substr(other_line + 14, 42));
       }},
      {"another key", false, false, [&](auto&, auto&, std::string& key) { key = other_key; }},
      {"NUL byte in the trusted comment", false, false,
       [](auto&, std::string& sig, auto&) {
         sig.insert(sig.find('\n', sig.find("\ntrusted") + 1), std::string("\0x", 2));
       }},
      {"untrusted comment too long, the signature glued on", false, false,
       [](auto&, std::string& sig, auto&) {
         sig.replace(0, sig.find('\n') + 1, "untrusted comment: " + std::string(1004, 'x'));
       }},
      {"carriage return inside a line", false, false,
       [](auto&, std::string& sig, auto&) { sig.insert(sig.find('\n'), "\rx"); }, nullptr, true},
      {"trusted comment not printable", false, false, [](auto&, auto&, auto&) {}, "a\x1B[31mb",
       true},
  };
  for (const TDamage& d : damages) {
    SCOPED_TRACE(d.Name);
    Dir.Write("rép ü€/package.manifest", "qubra-updater package manifest 1\n");
    ASSERT_TRUE(author.Sign(MessagePath, d.Legacy, d.TrustedComment));
    std::string message = ReadAll(MessagePath), sig = ReadAll(SigPath), key = ReadAll(author.Pub);
    d.Apply(message, sig, key);
    KeyPath = Dir.Path() + "damaged.pub";
    Dir.Write("rép ü€/package.manifest", message);
    Dir.Write("rép ü€/package.manifest.minisig", sig);
    Dir.Write("damaged.pub", key);
    if (!d.ToolLags) {
      EXPECT_EQ(ToolAccepts(), d.Accepted);
    }
    EXPECT_EQ(OurVerdict().empty(), d.Accepted) << OurVerdict();
  }
}

// Every prefix of the signature file and of the key file, as copies cut short on the way.
TEST_F(MinisignTest, OursAndTheToolAgreeOnEveryTruncation) {
  const TToolKey author(Dir, "author");
  Dir.Write("rép ü€/package.manifest", "qubra-updater package manifest 1\n");
  ASSERT_TRUE(author.Sign(MessagePath));
  const std::string sig = ReadAll(SigPath), key = ReadAll(author.Pub);
  KeyPath = author.Pub;
  for (size_t n = 0; n <= sig.size(); ++n) {
    Dir.Write("rép ü€/package.manifest.minisig", sig.substr(0, n));
    ASSERT_EQ(OurVerdict().empty(), ToolAccepts()) << "signature cut to " << n << " bytes";
  }
  KeyPath = Dir.Path() + "cut.pub";
  for (size_t n = 0; n <= key.size(); ++n) {
    Dir.Write("cut.pub", key.substr(0, n));
    ASSERT_EQ(OurVerdict().empty(), ToolAccepts()) << "key cut to " << n << " bytes";
  }
}

TEST_F(MinisignTest, KeyIdReadsAsTheToolPrintsIt) {
  const TToolKey author(Dir, "author");
  const std::string text = ReadAll(author.Pub);
  std::string error;
  TPublicKey key;
  ASSERT_TRUE(ParsePublicKey(text, "author.pub", key, error)) << error;
  EXPECT_EQ("untrusted comment: minisign public key " + KeyIdText(key.Id),
            text.substr(0, text.find('\n')));
}

TEST(MinisignParse, Errors) {
  const std::string key = "RWTA7z9bl+u/rXZp+umA4bDoQjspd2gsWn/e7nJZKJoDxl8EKTalaeV4";
  const std::string sig =
      "RUTA7z9bl+u/rSNs0niqkx9P3BfjXt7WmUD6iu/4yOx/4Nk8ZeiRHiqoSt3hMOE4aPf0dY6K/k2qs8qn9qRxULIqFj"
      "5LT7KVBg8=";
  const std::string global =
      "q5cFL4+Q0crlyZM+jw/s0wiej0KxdKXm+SuqNVMTPSLpKCF9Itmr2Kt0fWwtlwZJTdF+iW7Epx7kCJTan01RDw==";
  const std::string head = "untrusted comment: x\n";
  struct Case {
    bool IsKey;
    std::string Text, Error;
  } cases[] = {
      {true, "", "f:1: missing line"},
      {true, head, "f:2: missing line"},
      {true, head + "RWTA7z9bl+u/rXZp!\n",
       "f:2: the public key is not base64: \"RWTA7z9bl+u/rXZp!\""},
      {true, head + "RWTA7z9bl+u/rXZp\n", "f:2: the public key holds 12 bytes where 42 belong"},
      {true, head + "RWTA7z9bl+u/rXZp+umA4bDoQjspd2gsWn/e7nJZKJoDxl8EKTalaeV4 \n",
       "f:2: the public key is not base64: \"" + key + " \""},
      {true, head + "RUTA" + key.substr(4) + "\n", "f:2: unsupported key algorithm \"ED\""},
      {false, "", "f:1: missing line"},
      {false, "comment: x\n" + sig + "\n", "f:1: does not start with \"untrusted comment: \""},
      {false, head + sig + "\n", "f:3: missing line"},
      {false, head + sig + "\ncomment: t\n" + global + "\n",
       "f:3: does not start with \"trusted comment: \""},
      {false, head + sig + "\ntrusted comment: t\n", "f:4: missing line"},
      {false, head + sig.substr(4) + "\ntrusted comment: t\n" + global + "\n",
       "f:2: the signature holds 71 bytes where 74 belong"},
      {false, head + "AAAA" + sig.substr(4) + "\ntrusted comment: t\n" + global + "\n",
       "f:2: unsupported signature algorithm \"\\x00\\x00\""},
      {false, head + sig + "\ntrusted comment: t\n" + global.substr(0, 84) + "\n",
       "f:4: the comment signature holds 63 bytes where 64 belong"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    std::string error;
    TPublicKey key;
    TSignature sig;
    const bool parsed =
        c.IsKey ? ParsePublicKey(c.Text, "f", key, error) : ParseSignature(c.Text, "f", sig, error);
    EXPECT_FALSE(parsed);
    EXPECT_EQ(error, c.Error);
  }
}

}  // namespace
