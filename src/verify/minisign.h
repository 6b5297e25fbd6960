// Publisher signatures in the format of the minisign tool: an Ed25519 public key,
// and a signature file whose trusted comment is signed as well.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/failure.h"

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
Expected<MinisignPublicKey> ReadPublicKey(std::string_view text);

// A .minisig file: untrusted comment, signature, trusted comment, global signature.
Expected<MinisignSignature> ReadSignature(std::string_view text);

// Why signature does not sign data with key, trusted comment included: it was
// made with another key, it does not match data, or its trusted comment is not
// signed. dataName and signatureName name the two for the cause.
Result CheckSignature(const MinisignPublicKey& key, const MinisignSignature& signature,
                      std::string_view data, std::string_view dataName,
                      std::string_view signatureName);

// The number after "timestamp:" in a trusted comment.
Expected<uint64_t> TrustedTimestamp(std::string_view trustedComment);

// The publisher's side (verify/minisign_sign.cpp, which the updater does not link).
struct MinisignSecretKey {
    KeyId keyId{};
    std::array<uint8_t, 64> secretKey{};  // libsodium's: the seed, then the public key
};

// Whether a secret key file is encrypted with a password (scrypt).
Expected<bool> SecretKeyNeedsPassword(std::string_view text);
// A secret key file as minisign writes it, decrypted with password when it is
// encrypted; a failure for another format or a wrong password.
Expected<MinisignSecretKey> ReadSecretKey(std::string_view text, std::string_view password);
MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key);
// The public key's base64 line, as ReadPublicKey reads it.
std::string PublicKeyLine(const MinisignPublicKey& key);
// A .minisig file signing data with key, as minisign -S writes it (the BLAKE2b
// hash of data signed, "ED"), trustedComment signed with the signature.
std::string SignFile(const MinisignSecretKey& key, std::string_view data,
                     std::string_view trustedComment);

}  // namespace corvana
