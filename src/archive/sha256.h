// SHA-256 as the patch set's lists write it: lowercase hex.
#pragma once

#include <sodium.h>

#include <string>
#include <string_view>

namespace corvana {

// A SHA-256 over data given in parts.
class Sha256Hash {
public:
    Sha256Hash() { crypto_hash_sha256_init(&m_state); }
    void Update(std::string_view data) {
        crypto_hash_sha256_update(&m_state, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size());
    }
    // The digest in lowercase hex; the hash is spent.
    std::string HexDigest();

private:
    crypto_hash_sha256_state m_state;
};

// The SHA-256 of data, in lowercase hex.
std::string Sha256Hex(std::string_view data);

// Whether text is a SHA-256 in lowercase hex.
bool IsSha256Hex(std::string_view text);

}  // namespace corvana
