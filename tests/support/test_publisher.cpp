#include "support/test_publisher.h"

#include <iomanip>
#include <sstream>

#include "support/test_env.h"
#include "verify/checksums.h"

namespace corvana::test {

namespace {

std::string Base64(const unsigned char* pData, std::size_t nSize) {
    std::string text(sodium_base64_ENCODED_LEN(nSize, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), pData, nSize, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.find('\0'));
    return text;
}

}  // namespace

TestPublisher::TestPublisher() {
    if (sodium_init() < 0) std::abort();
    crypto_sign_keypair(m_publicKey, m_secretKey);
    randombytes_buf(m_keyId, sizeof m_keyId);
}

std::string TestPublisher::PublicKeyLine() const {
    unsigned char bytes[2 + 8 + crypto_sign_PUBLICKEYBYTES] = {'E', 'd'};
    std::copy(m_keyId, m_keyId + 8, bytes + 2);
    std::copy(m_publicKey, m_publicKey + sizeof m_publicKey, bytes + 10);
    return Base64(bytes, sizeof bytes);
}

std::string TestPublisher::Signature(const std::string& data, const std::string& trustedComment,
                                     bool bPrehashed) const {
    unsigned char digest[crypto_generichash_BYTES_MAX];
    const auto* pMessage = reinterpret_cast<const unsigned char*>(data.data());
    unsigned long long nMessage = data.size();
    if (bPrehashed) {
        crypto_generichash(digest, sizeof digest, pMessage, nMessage, nullptr, 0);
        pMessage = digest;
        nMessage = sizeof digest;
    }
    unsigned char signature[2 + 8 + crypto_sign_BYTES] = {
        'E', static_cast<unsigned char>(bPrehashed ? 'D' : 'd')};
    std::copy(m_keyId, m_keyId + 8, signature + 2);
    crypto_sign_detached(signature + 10, nullptr, pMessage, nMessage, m_secretKey);
    std::string global(reinterpret_cast<const char*>(signature + 10), crypto_sign_BYTES);
    global += trustedComment;
    unsigned char globalSignature[crypto_sign_BYTES];
    crypto_sign_detached(globalSignature, nullptr,
                         reinterpret_cast<const unsigned char*>(global.data()), global.size(),
                         m_secretKey);
    return "untrusted comment: signature from a test key\n" + Base64(signature, sizeof signature) +
           "\ntrusted comment: " + trustedComment + "\n" +
           Base64(globalSignature, sizeof globalSignature) + "\n";
}

std::string TestPublisher::SecretKeyFile() const {
    // "Ed", no key derivation, "B2", a salt and limits of zeros, then the key
    // id, the secret key and their BLAKE2b-256 checksum.
    unsigned char bytes[6 + 32 + 16 + 8 + crypto_sign_SECRETKEYBYTES + 32] = {'E', 'd', 0,
                                                                              0,   'B', '2'};
    unsigned char* pKeyPart = bytes + 6 + 32 + 16;
    std::copy(m_keyId, m_keyId + 8, pKeyPart);
    std::copy(m_secretKey, m_secretKey + sizeof m_secretKey, pKeyPart + 8);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, bytes, 2);
    crypto_generichash_update(&state, pKeyPart, 8 + sizeof m_secretKey);
    crypto_generichash_final(&state, pKeyPart + 8 + sizeof m_secretKey, 32);
    return "untrusted comment: a test key\n" + Base64(bytes, sizeof bytes) + "\n";
}

void TestPublisher::SignSet(const std::filesystem::path& folder,
                            const std::vector<std::string>& names, uint64_t nTimestamp) const {
    std::ostringstream sums;
    for (const std::string& name : names) {
        for (uint8_t byte : HashSha256(ReadWholeFile(folder / name))) {
            sums << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(byte);
        }
        sums << "  " << name << "\n";
    }
    WriteWholeFile(folder / "SHA256SUMS", sums.str());
    WriteWholeFile(folder / "SHA256SUMS.minisig",
                   Signature(sums.str(), "timestamp:" + std::to_string(nTimestamp) +
                                             "\tfile:SHA256SUMS\thashed"));
}

}  // namespace corvana::test
