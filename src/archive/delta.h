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
//          reference). Executables, whose addresses move, patch smaller this way;
//   xdiff  a diff of the base and the item with their x86 call and jump targets
//          made absolute first (see FilterX86), for machine code;
//   windows  an item too large to hold, rebuilt window by window (see
//          RebuildWindows): each window a copy of a region of the base, a frame
//          made with the base's region around it as its reference, or a frame alone.
// Every frame states its content size. A delta of version 2 (DELTA_HEADER_2) is
// read too: it has no xdiff, and every item names every file and hash.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/sha256.h"
#include "platform/failure.h"

namespace corvana {

inline constexpr const char* DELTA_SUFFIX = ".delta";
inline constexpr std::string_view DELTA_HEADER = "corvana-delta 3\n";
inline constexpr std::string_view DELTA_HEADER_2 = "corvana-delta 2\n";
// The largest base or result the rebuild holds in memory; a larger one means the full archive.
inline constexpr uint64_t DELTA_FILE_LIMIT = uint64_t{256} * 1024 * 1024;
// The largest index a delta may hold.
inline constexpr uint64_t DELTA_INDEX_LIMIT = uint64_t{16} * 1024 * 1024;

// A windowed item's windows, and the base's region a window refers to, are at
// most this long; so a rebuild holds a few times it, whatever the item's size.
inline constexpr uint64_t DELTA_WINDOW_LIMIT = uint64_t{16} * 1024 * 1024;

enum class DeltaMethod { SAME, WHOLE, ZSTD, DIFF, XDIFF, WINDOWS };

struct DeltaItem {
    DeltaMethod method;
    std::string name;  // the item's path in the full archive, '/' separated
    uint64_t nBaseSize = 0;
    std::string baseSha256;  // lowercase hex; empty for WHOLE, and where the index line has "-"
    uint64_t nResultSize = 0;
    std::string resultSha256;  // empty where the index line has "-"
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
// with "-" for the base's two). From version 3 an item but a windowed one may
// have "-" for a hash: the set's signed index of installed files says what the
// result holds, and a rebuild from a base without a hash is checked by its
// result alone (SAME has "-" for both or neither). Version 3 also leaves out
// the unchanged items of files that the signed index has from the delta's
// archive: what the delta does not name of those stays as it is.
// Anything else, a repeated name, or sizes above DELTA_FILE_LIMIT (but for a
// windowed item's base and result) is a failure.
Expected<std::vector<DeltaItem>> ReadDeltaIndex(std::string_view text, int nVersion = 3);

// One line of an index, as ReadDeltaIndex reads it back.
std::string DeltaIndexLine(const DeltaItem& item);

// Turns the rel32 operands of x86 calls and jumps (E8, E9) that reach nearby
// into targets counted from the start of data (bEncode), or back: code that
// moved then differs where it moved, not at every call into it.
void FilterX86(std::string& data, bool bEncode);

// Reads a whole delta: its header, its index, and each item's payload, which
// together must be the rest of the delta exactly.
Expected<std::vector<DeltaItem>> ReadDelta(std::string_view delta);

// The item's bytes rebuilt from its base (empty for WHOLE) and its payload,
// checked against the result's size and SHA-256 (one left to the signed index
// must be filled in first: without it only an unchanged item is taken). For DIFF, each step is
// three varints (zigzag-coded): the count of bytes made by adding the next bytes of the second
// frame to the base's from the current place on, the count of bytes taken from the third frame, and
// how far the place in the base then moves.
Expected<std::string> RebuildItem(const DeltaItem& item, std::string_view base);

// Reads at most nSize bytes of a file at nOffset: their count, 0 at its end.
using ReadAtFunction =
    std::function<Expected<std::size_t>(uint64_t nOffset, char* pOut, std::size_t nSize)>;
// Where a rebuilt window goes.
using WriteFunction = std::function<Result(std::string_view data)>;

// A windowed item rebuilt from its base (read through readBase), each window
// handed to write as it is made. The payload is a varint (as DIFF's steps code
// them), the window's length W, then for each W bytes of the result in order a
// varint kind and its fields: 0, the base's offset of a region equal to the
// window; 1, the offset and length of the base's region that is the reference
// of the frame that follows, the frame's size, the frame; 2, a frame's size and
// the frame. The result's size and SHA-256 are checked at its end: a failure
// then means that what was written is not the item.
Result RebuildWindows(const DeltaItem& item, const ReadAtFunction& readBase,
                      const WriteFunction& write);

// Reads exactly nSize bytes at nOffset through read.
Result ReadFully(const ReadAtFunction& read, uint64_t nOffset, char* pOut, std::size_t nSize);

}  // namespace corvana
