// OpenSSL's libcrypto: its SHA-256 picks the processor's SHA or vector
// instructions at run time.
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace corvana {

void* NewSystemSha256() {
    EVP_MD_CTX* pContext = EVP_MD_CTX_new();
    if (pContext != nullptr && EVP_DigestInit_ex(pContext, EVP_sha256(), nullptr) == 1) {
        return pContext;
    }
    EVP_MD_CTX_free(pContext);
    return nullptr;
}

void FeedSystemSha256(void* pHash, std::string_view data) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(pHash), data.data(), data.size());
}

void FinishSystemSha256(void* pHash, Sha256& digest) {
    unsigned int nSize = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(pHash), digest.data(), &nSize);
}

void FreeSystemSha256(void* pHash) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(pHash)); }

}  // namespace corvana
