// Signatures in minisign's format, and its secret key files (for the publisher).
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "verify/minisign.h"

namespace corvana {

namespace {

// The parts of a secret key file's second line, decoded.
constexpr std::size_t ALG_SIZE = 2;
constexpr std::size_t SALT_SIZE = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;  // 32
constexpr std::size_t KEY_PART_SIZE = 8 + 64 + 32;  // key id, secret key, checksum
constexpr std::size_t SECRET_FILE_SIZE = 3 * ALG_SIZE + SALT_SIZE + 8 + 8 + KEY_PART_SIZE;

std::string Base64(const uint8_t* pData, std::size_t nSize) {
    std::string text(sodium_base64_encoded_len(nSize, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), pData, nSize, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating zero
    return text;
}

uint64_t ReadLittleEndian(const uint8_t* pData) {
    uint64_t nValue = 0;
    for (int i = 7; i >= 0; --i) nValue = nValue << 8 | pData[i];
    return nValue;
}

// The second line of a secret key file, decoded.
Expected<std::vector<uint8_t>> DecodeSecretFile(std::string_view text) {
    const Failure malformed{{}, "not a minisign secret key"};
    const std::size_t nBreak = text.find('\n');
    if (nBreak == std::string_view::npos || sodium_init() < 0) return malformed;
    std::string_view line = text.substr(nBreak + 1);
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<uint8_t> bytes(SECRET_FILE_SIZE);
    std::size_t nDecoded = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &nDecoded,
                          nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        nDecoded != SECRET_FILE_SIZE || bytes[0] != 'E' || bytes[1] != 'd' || bytes[4] != 'B' ||
        bytes[5] != '2') {
        return malformed;
    }
    return bytes;
}

}  // namespace

Expected<bool> SecretKeyNeedsPassword(std::string_view text) {
    const Expected<std::vector<uint8_t>> bytes = DecodeSecretFile(text);
    if (!bytes) return bytes.GetFailure();
    return (*bytes)[2] != 0 || (*bytes)[3] != 0;
}

Expected<MinisignSecretKey> ReadSecretKey(std::string_view text, std::string_view password) {
    Expected<std::vector<uint8_t>> decoded = DecodeSecretFile(text);
    if (!decoded) return decoded.GetFailure();
    std::vector<uint8_t>& bytes = *decoded;
    const uint8_t* pSalt = bytes.data() + 3 * ALG_SIZE;
    uint8_t* pKeyPart = bytes.data() + 3 * ALG_SIZE + SALT_SIZE + 16;
    if (bytes[2] == 'S' && bytes[3] == 'c') {
        // The key part is XORed with a stream the password derives through scrypt.
        uint8_t stream[KEY_PART_SIZE];
        const uint64_t nMemory = ReadLittleEndian(pSalt + SALT_SIZE + 8);
        if (nMemory > SIZE_MAX) {
            return Failure{{}, "the secret key asks for more memory than there is"};
        }
        if (crypto_pwhash_scryptsalsa208sha256(
                stream, sizeof stream, password.data(), password.size(), pSalt,
                ReadLittleEndian(pSalt + SALT_SIZE), static_cast<std::size_t>(nMemory)) != 0) {
            return Failure{{}, "the secret key's password cannot be checked (out of memory)"};
        }
        for (std::size_t i = 0; i < KEY_PART_SIZE; ++i) pKeyPart[i] ^= stream[i];
        sodium_memzero(stream, sizeof stream);
    } else if (bytes[2] != 0 || bytes[3] != 0) {
        return Failure{{}, "a secret key encrypted in a way this program does not know"};
    }
    // The checksum: BLAKE2b-256 of the algorithm, the key id and the secret key.
    uint8_t check[32];
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sizeof check);
    crypto_generichash_update(&state, bytes.data(), ALG_SIZE);
    crypto_generichash_update(&state, pKeyPart, 8 + 64);
    crypto_generichash_final(&state, check, sizeof check);
    // A key without a password may carry no checksum (zeros): then the key itself
    // must agree, its public half the one its seed derives.
    const uint8_t zeros[sizeof check] = {};
    const bool bNoChecksum =
        bytes[2] == 0 && sodium_memcmp(zeros, pKeyPart + 8 + 64, sizeof check) == 0;
    uint8_t derivedPublic[crypto_sign_PUBLICKEYBYTES];
    uint8_t derivedSecret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(derivedPublic, derivedSecret, pKeyPart + 8);
    sodium_memzero(derivedSecret, sizeof derivedSecret);
    const bool bRight =
        (bNoChecksum || sodium_memcmp(check, pKeyPart + 8 + 64, sizeof check) == 0) &&
        sodium_memcmp(derivedPublic, pKeyPart + 8 + 32, sizeof derivedPublic) == 0;
    MinisignSecretKey key;
    std::memcpy(key.keyId.data(), pKeyPart, key.keyId.size());
    std::memcpy(key.secretKey.data(), pKeyPart + 8, key.secretKey.size());
    sodium_memzero(bytes.data(), bytes.size());
    if (!bRight) {
        return Failure{
            {}, bytes[2] == 0 ? "a damaged secret key" : "wrong password for the secret key"};
    }
    return key;
}

MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key) {
    MinisignPublicKey publicKey;
    publicKey.keyId = key.keyId;
    std::memcpy(publicKey.key.data(), key.secretKey.data() + 32, publicKey.key.size());
    return publicKey;
}

std::string PublicKeyLine(const MinisignPublicKey& key) {
    uint8_t bytes[2 + 8 + 32] = {'E', 'd'};
    std::memcpy(bytes + 2, key.keyId.data(), 8);
    std::memcpy(bytes + 10, key.key.data(), 32);
    return Base64(bytes, sizeof bytes);
}

std::string SignFile(const MinisignSecretKey& key, std::string_view data,
                     std::string_view trustedComment) {
    uint8_t digest[crypto_generichash_BYTES_MAX];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const uint8_t*>(data.data()),
                       data.size(), nullptr, 0);
    uint8_t signature[2 + 8 + crypto_sign_BYTES] = {'E', 'D'};
    std::memcpy(signature + 2, key.keyId.data(), 8);
    crypto_sign_detached(signature + 10, nullptr, digest, sizeof digest, key.secretKey.data());
    // The global signature: over the signature and the trusted comment.
    std::string global(reinterpret_cast<const char*>(signature + 10), crypto_sign_BYTES);
    global += trustedComment;
    uint8_t globalSignature[crypto_sign_BYTES];
    crypto_sign_detached(globalSignature, nullptr, reinterpret_cast<const uint8_t*>(global.data()),
                         global.size(), key.secretKey.data());
    return "untrusted comment: signature from the Corvana publisher's secret key\n" +
           Base64(signature, sizeof signature) +
           "\ntrusted comment: " + std::string(trustedComment) + "\n" +
           Base64(globalSignature, sizeof globalSignature) + "\n";
}

}  // namespace corvana
