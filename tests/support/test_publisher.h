// A publisher made at test time: an Ed25519 key pair of its own, and patch sets
// signed with it in the minisign format.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sodium.h>

namespace corvana::test {

class TestPublisher {
public:
    TestPublisher();

    // The public key as its base64 line (what CORVANA_PUBLIC_KEY holds).
    std::string PublicKeyLine() const;
    // A .minisig text for data: "ED" (BLAKE2b-prehashed) or the legacy "Ed".
    std::string Signature(const std::string& data, const std::string& trustedComment,
                          bool bPrehashed = true) const;
    // Writes folder/SHA256SUMS listing the named files and folder/SHA256SUMS.minisig
    // with "timestamp:<nTimestamp>" in its trusted comment.
    void SignSet(const std::filesystem::path& folder, const std::vector<std::string>& names,
                 uint64_t nTimestamp) const;

    // The secret key as a minisign key file without a password.
    std::string SecretKeyFile() const;

private:
    unsigned char m_keyId[8];
    unsigned char m_publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char m_secretKey[crypto_sign_SECRETKEYBYTES];
};

}  // namespace corvana::test
