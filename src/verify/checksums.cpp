#include "verify/checksums.h"

#include <sodium.h>

namespace corvana {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadHash(std::string_view hex, Sha256& hash) {
    for (std::size_t i = 0; i < hash.size(); ++i) {
        const int nHigh = HexValue(hex[2 * i]);
        const int nLow = HexValue(hex[2 * i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        hash[i] = static_cast<uint8_t>(nHigh * 16 + nLow);
    }
    return true;
}

}  // namespace

Sha256 HashSha256(std::string_view data) {
    Sha256 hash{};
    crypto_hash_sha256(hash.data(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size());
    return hash;
}

std::optional<std::map<std::string, Sha256, std::less<>>> ReadChecksums(std::string_view text) {
    std::map<std::string, Sha256, std::less<>> sums;
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text.remove_prefix(nEnd == std::string_view::npos ? text.size() : nEnd + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        // 64 hex digits, a blank, a blank or "*" (binary mode), the name. A name
        // that sha256sum had to escape starts the line with "\": not ours.
        Sha256 hash{};
        if (line.size() < 67 || !ReadHash(line.substr(0, 64), hash) || line[64] != ' ' ||
            (line[65] != ' ' && line[65] != '*')) {
            return std::nullopt;
        }
        if (!sums.emplace(std::string(line.substr(66)), hash).second) return std::nullopt;
    }
    return sums;
}

}  // namespace corvana
