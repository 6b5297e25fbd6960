// Delta archives: beside a patch set's archive X.zip, X.zip.delta rebuilds the
// same items from the files a player has already, downloading only what changed.
//
// A delta is the line DELTA_HEADER, then one Zstandard frame holding its index
// (see ReadDeltaIndex), then each item's payload in the index's order:
//   same   nothing: the result is the base as it is;
//   whole  one frame holding the item;
//   zstd   one frame made with the base as its reference;
//   diff   three frames: the steps (triples of varints, see RebuildItem), the
//          bytes to add to the base's, and the new bytes (the base may be their
//          reference). Executables, whose addresses move, patch smaller this way.
// Every frame states its content size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/sha256.h"
#include "platform/failure.h"

namespace corvana {

inline constexpr const char* DELTA_SUFFIX = ".delta";
inline constexpr std::string_view DELTA_HEADER = "corvana-delta 2\n";
// The largest base or result the rebuild holds in memory; a larger one means the full archive.
inline constexpr uint64_t DELTA_FILE_LIMIT = uint64_t{256} * 1024 * 1024;
// The largest index a delta may hold.
inline constexpr uint64_t DELTA_INDEX_LIMIT = uint64_t{16} * 1024 * 1024;

enum class DeltaMethod { SAME, WHOLE, ZSTD, DIFF };

struct DeltaItem {
    DeltaMethod method;
    std::string name;  // the item's path in the full archive, '/' separated
    uint64_t nBaseSize = 0;
    std::string baseSha256;  // lowercase hex; empty for WHOLE
    uint64_t nResultSize = 0;
    std::string resultSha256;
    uint64_t nPayloadSize = 0;
    // The item's time and attributes as its full archive stores them.
    uint32_t dwDosDate = 0;
    uint32_t dwVersionMadeBy = 0;
    uint32_t dwExternalAttributes = 0;
    std::string_view payload;  // set by ReadDelta: the bytes within the delta
};

// Reads an index, one line per item, each ended by a line feed:
// "METHOD BASE_SIZE BASE_SHA256 RESULT_SIZE RESULT_SHA256 PAYLOAD_SIZE DOS_DATE
// VERSION_MADE_BY EXTERNAL_ATTRIBUTES NAME", the fields separated by tabs (WHOLE
// with "-" for the base's two). Anything else, a repeated name, or sizes above
// DELTA_FILE_LIMIT is a failure.
Expected<std::vector<DeltaItem>> ReadDeltaIndex(std::string_view text);

// Reads a whole delta: its header, its index, and each item's payload, which
// together must be the rest of the delta exactly.
Expected<std::vector<DeltaItem>> ReadDelta(std::string_view delta);

// The item's bytes rebuilt from its base (empty for WHOLE) and its payload,
// checked against the result's size and SHA-256. For DIFF, each step is three
// varints (zigzag-coded): the count of bytes made by adding the next bytes of the
// second frame to the base's from the current place on, the count of bytes taken
// from the third frame, and how far the place in the base then moves.
Expected<std::string> RebuildItem(const DeltaItem& item, std::string_view base);

}  // namespace corvana
