#include "verify/checksums.h"

#include "platform/sha256.h"

namespace corvana {

Sha256 HashSha256(std::string_view data) {
    Sha256Hash hash;
    hash.Update(data);
    return hash.Digest();
}

Expected<std::map<std::string, Sha256, std::less<>>> ReadChecksums(std::string_view text) {
    const Expected<std::vector<ChecksumLine>> lines = ReadChecksumList(text);
    if (!lines) return lines.GetFailure();
    std::map<std::string, Sha256, std::less<>> sums;
    for (const ChecksumLine& line : *lines) sums.emplace(line.name, line.hash);
    return sums;
}

}  // namespace corvana
