#include "platform/checksum_list.h"

#include <set>

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

Expected<std::vector<ChecksumLine>> ReadChecksumList(std::string_view text) {
    std::vector<ChecksumLine> lines;
    std::set<std::string_view> names;
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text.remove_prefix(nEnd == std::string_view::npos ? text.size() : nEnd + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        // 64 hex digits, a blank, a blank or "*", the name.
        ChecksumLine read;
        if (line.size() < 67 || !ReadHash(line.substr(0, 64), read.hash) || line[64] != ' ' ||
            (line[65] != ' ' && line[65] != '*')) {
            return Failure{{}, "a line that is not one: " + std::string(line.substr(0, 100))};
        }
        if (!names.insert(line.substr(66)).second) {
            return Failure{std::string(line.substr(66)), "listed twice"};
        }
        read.name = line.substr(66);
        lines.push_back(std::move(read));
    }
    return lines;
}

std::string WriteChecksumList(const std::vector<ChecksumLine>& lines) {
    std::string text;
    for (const ChecksumLine& line : lines) text += HexOf(line.hash) + "  " + line.name + "\n";
    return text;
}

std::string HexOf(const Sha256& hash) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : hash) {
        hex += DIGITS[byte >> 4];
        hex += DIGITS[byte & 0xF];
    }
    return hex;
}

}  // namespace corvana
