#include "platform/sha256.h"

#include <algorithm>

#include "platform/folder.h"

namespace corvana {

Sha256Hash::Sha256Hash() : m_pSystem(NewSystemSha256()) {
    if (m_pSystem == nullptr) crypto_hash_sha256_init(&m_state);
}

Sha256Hash::~Sha256Hash() {
    if (m_pSystem != nullptr) FreeSystemSha256(m_pSystem);
}

void Sha256Hash::Update(std::string_view data) {
    if (m_pSystem != nullptr) {
        FeedSystemSha256(m_pSystem, data);
    } else {
        crypto_hash_sha256_update(&m_state, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size());
    }
}

Sha256 Sha256Hash::Digest() {
    Sha256 digest{};
    if (m_pSystem != nullptr) {
        FinishSystemSha256(m_pSystem, digest);
    } else {
        crypto_hash_sha256_final(&m_state, digest.data());
    }
    return digest;
}

Result HashFilePart(const DataFile& file, uint64_t nFrom, uint64_t nTo, Sha256Hash& hash) {
    std::string block(std::size_t{1} << 20, '\0');
    while (nFrom < nTo) {
        const auto nWanted =
            static_cast<std::size_t>(std::min<uint64_t>(block.size(), nTo - nFrom));
        const Expected<std::size_t> read = file.ReadAt(nFrom, block.data(), nWanted);
        if (!read) return read.GetFailure();
        if (*read == 0) return Failure{file.Path(), "shorter than it was"};
        hash.Update({block.data(), *read});
        nFrom += *read;
    }
    return {};
}

}  // namespace corvana
