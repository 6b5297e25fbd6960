// Publisher signatures in the format of the minisign tool: an Ed25519 public key,
// and a signature file whose trusted comment is signed as well.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvana {

using KeyId = std::array<uint8_t, 8>;

struct MinisignPublicKey {
    KeyId keyId{};
    std::array<uint8_t, 32> key{};
};

struct MinisignSignature {
    bool bPrehashed = false;  // "ED": the signed message is the BLAKE2b-512 hash of the file
    KeyId keyId{};
    std::array<uint8_t, 64> signature{};
    std::string strTrustedComment;              // the text after "trusted comment: "
    std::array<uint8_t, 64> globalSignature{};  // over signature + trusted comment
};

// A public key: its base64 line, alone or as the second line of a .pub file.
std::optional<MinisignPublicKey> ReadPublicKey(std::string_view text);

// A .minisig file: untrusted comment, signature, trusted comment, global signature.
std::optional<MinisignSignature> ReadSignature(std::string_view text);

enum class SignatureCheck { OK, WRONG_KEY, BAD_SIGNATURE, BAD_TRUSTED_COMMENT };

// Whether signature signs data with key, trusted comment included.
SignatureCheck CheckSignature(const MinisignPublicKey& key, const MinisignSignature& signature,
                              std::string_view data);

// The number after "timestamp:" in a trusted comment; nothing when there is none.
std::optional<uint64_t> TrustedTimestamp(std::string_view trustedComment);

}  // namespace corvana
