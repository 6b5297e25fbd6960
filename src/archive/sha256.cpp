#include "archive/sha256.h"

namespace corvana {

std::string Sha256Hash::HexDigest() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&m_state, digest);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += HEX[byte >> 4];
        hex += HEX[byte & 0xF];
    }
    return hex;
}

std::string Sha256Hex(std::string_view data) {
    Sha256Hash hash;
    hash.Update(data);
    return hash.HexDigest();
}

bool IsSha256Hex(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace corvana
