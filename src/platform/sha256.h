// SHA-256 at the processor's speed: the system's implementation (OpenSSL's
// libcrypto on Linux, CNG on Windows), which uses the processor's SHA
// instructions where it has them; libsodium's portable code when that cannot
// be had.
#pragma once

#include <sodium.h>

#include <string>
#include <string_view>

#include "platform/checksum_list.h"
#include "platform/failure.h"

namespace corvana {

// A SHA-256 over data given in parts.
class Sha256Hash {
public:
    Sha256Hash();
    ~Sha256Hash();
    Sha256Hash(const Sha256Hash&) = delete;
    Sha256Hash& operator=(const Sha256Hash&) = delete;

    void Update(std::string_view data);
    // The digest in lowercase hex; the hash is spent.
    std::string HexDigest() { return HexOf(Digest()); }
    // The digest's bytes; the hash is spent.
    Sha256 Digest();

private:
    void* m_pSystem = nullptr;  // the system's hash object; null: libsodium's state below
    crypto_hash_sha256_state m_state{};
};

class DataFile;

// Adds the file's bytes from nFrom up to nTo to hash, read in blocks.
Result HashFilePart(const DataFile& file, uint64_t nFrom, uint64_t nTo, Sha256Hash& hash);

// The system's hash, where there is one: a new hash object, fed data, spent
// into a digest, freed (the platform's seam behind Sha256Hash).
void* NewSystemSha256();
void FeedSystemSha256(void* pHash, std::string_view data);
void FinishSystemSha256(void* pHash, Sha256& digest);
void FreeSystemSha256(void* pHash);

}  // namespace corvana
