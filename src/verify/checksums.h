// The list of SHA-256 checksums that the sha256sum tool writes ("HASH  NAME" or
// "HASH *NAME", one file a line).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace corvana {

using Sha256 = std::array<uint8_t, 32>;

Sha256 HashSha256(std::string_view data);

// The names and hashes of a checksum list; nothing when any line is malformed or
// a name is listed twice.
std::optional<std::map<std::string, Sha256, std::less<>>> ReadChecksums(std::string_view text);

}  // namespace corvana
