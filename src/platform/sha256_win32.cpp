// The processor's SHA instructions where it has them, else the system's CNG.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>

#include "platform/sha256.h"
#include "platform/sha256_x86.h"

namespace corvana {

namespace {

// The algorithm's provider, opened once for the process; null when the system
// has none.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE hProvider = [] {
        BCRYPT_ALG_HANDLE hOpened = nullptr;
        if (BCryptOpenAlgorithmProvider(&hOpened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
            return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
        }
        return hOpened;
    }();
    return hProvider;
}

// A hash with the processor's SHA instructions where it has them (CNG does not
// use them everywhere), else CNG's.
struct SystemSha256 {
    BCRYPT_HASH_HANDLE hCng = nullptr;
    InstructionSha256 own;
};

}  // namespace

void* NewSystemSha256() {
    if (HasShaInstructions()) return new SystemSha256;
    const BCRYPT_ALG_HANDLE hProvider = Provider();
    if (hProvider == nullptr) return nullptr;
    // The system keeps the hash object's memory itself.
    BCRYPT_HASH_HANDLE hHash = nullptr;
    if (BCryptCreateHash(hProvider, &hHash, nullptr, 0, nullptr, 0, 0) != 0) return nullptr;
    auto* pHash = new SystemSha256;
    pHash->hCng = hHash;
    return pHash;
}

void FeedSystemSha256(void* pHash, std::string_view data) {
    auto* pSystem = static_cast<SystemSha256*>(pHash);
    if (pSystem->hCng == nullptr) return pSystem->own.Update(data);
    // One call takes at most a ULONG's count of bytes.
    while (!data.empty()) {
        const std::size_t nPart = std::min<std::size_t>(data.size(), std::size_t{1} << 30);
        BCryptHashData(pSystem->hCng, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                       static_cast<ULONG>(nPart), 0);
        data.remove_prefix(nPart);
    }
}

void FinishSystemSha256(void* pHash, Sha256& digest) {
    auto* pSystem = static_cast<SystemSha256*>(pHash);
    if (pSystem->hCng == nullptr) {
        digest = pSystem->own.Finish();
        return;
    }
    BCryptFinishHash(pSystem->hCng, digest.data(), static_cast<ULONG>(digest.size()), 0);
}

void FreeSystemSha256(void* pHash) {
    auto* pSystem = static_cast<SystemSha256*>(pHash);
    if (pSystem->hCng != nullptr) BCryptDestroyHash(pSystem->hCng);
    delete pSystem;
}

}  // namespace corvana
