// Delta archives: beside a patch set's archive X.zip, X.zip.delta rebuilds the
// same items from the files a player has already, downloading only what changed.
// It is a ZIP archive holding an index (DELTA_INDEX_NAME) and, for each item that
// is not the same as its base, either the item whole or a Zstandard patch made
// with the base file as its reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"

namespace corvana {

inline constexpr const char* DELTA_SUFFIX = ".delta";
inline constexpr const char* DELTA_INDEX_NAME = "delta-index.txt";
inline constexpr const char* DELTA_INDEX_HEADER = "corvana-delta 1";
// The largest base or result the rebuild holds in memory; a larger one means the full archive.
inline constexpr uint64_t DELTA_FILE_LIMIT = uint64_t{256} * 1024 * 1024;

enum class DeltaMethod {
    SAME,   // the result is the base as it is: nothing in the delta
    WHOLE,  // the result is in the delta whole ("whole/NAME"); no base
    ZSTD,   // a Zstandard patch against the base ("zstd/NAME")
};

struct DeltaItem {
    DeltaMethod method;
    std::string name;  // the item's path in the full archive, '/' separated
    uint64_t nBaseSize = 0;
    std::string baseSha256;  // lowercase hex; empty for WHOLE
    uint64_t nResultSize = 0;
    std::string resultSha256;
};

// Reads an index: its header line, then one line per item,
// "METHOD<TAB>BASE_SIZE<TAB>BASE_SHA256<TAB>RESULT_SIZE<TAB>RESULT_SHA256<TAB>NAME"
// (WHOLE with "-" for the base's fields), each ended by a line feed. Anything
// else, a repeated name, or sizes above DELTA_FILE_LIMIT is a failure.
Expected<std::vector<DeltaItem>> ReadDeltaIndex(std::string_view text);

// The SHA-256 of data, in lowercase hex.
std::string Sha256Hex(std::string_view data);

// The item's bytes rebuilt from its base and its patch (a Zstandard frame made
// with the base as its reference), checked against the result's size and SHA-256.
Expected<std::string> RebuildItem(const DeltaItem& item, std::string_view base,
                                  std::string_view patch);

}  // namespace corvana
