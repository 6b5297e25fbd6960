// Lists of SHA-256 checksums in the form the sha256sum tool writes: one file a
// line, "HASH  NAME" (text mode) or "HASH *NAME" (binary mode), the hash in hex.
// The signed list of a patch set and the index of installed files are both.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"

namespace corvana {

using Sha256 = std::array<uint8_t, 32>;

struct ChecksumLine {
    Sha256 hash{};
    std::string name;
};

// The lines of a list, in order; lines end in LF or CR LF, empty ones are
// skipped. A failure names the first line that is not one (a name that
// sha256sum had to escape starts the line with "\": not ours) or a name listed twice.
Expected<std::vector<ChecksumLine>> ReadChecksumList(std::string_view text);

// The list as sha256sum writes it in text mode, the lines in the order given.
std::string WriteChecksumList(const std::vector<ChecksumLine>& lines);

// A hash in lowercase hex, as the lists write it.
std::string HexOf(const Sha256& hash);

}  // namespace corvana
