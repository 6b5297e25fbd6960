// The signed list of a patch set's files: SHA-256 checksums as the sha256sum
// tool writes them (see platform/checksum_list.h).
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/checksum_list.h"
#include "platform/failure.h"

namespace corvana {

Sha256 HashSha256(std::string_view data);

// The names and hashes of a checksum list; a failure when any line is malformed
// or a name is listed twice.
Expected<std::map<std::string, Sha256, std::less<>>> ReadChecksums(std::string_view text);

}  // namespace corvana
