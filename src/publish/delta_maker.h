// Making an archive's delta (see archive/delta.h): each item against the file of
// the same name in the folder the earlier entries leave, as the smallest of a
// Zstandard patch, a diff (bsdiff's method over a suffix array, its streams
// recompressed) and, for machine code, a diff of the x86-filtered bytes; an item
// the same as its base is only named, an item no patch makes small goes whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive/delta.h"
#include "platform/failure.h"

namespace corvana {

// One Zstandard frame of data (level 19, its size stated, no checksum), with
// prefix (when given) as its reference; bLong widens the window to the data.
std::string ZstdFrame(std::string_view data, std::string_view prefix = {}, bool bLong = false,
                      int nLevel = 19);

// The payload of a diff of data against base, as RebuildItem rebuilds it (see
// DeltaMethod::DIFF): three frames, the steps, the bytes to add, the new bytes.
std::string DiffPayload(std::string_view base, std::string_view data);

// A whole delta: its header, the index of items and their payloads, in order
// (each item's nPayloadSize the size of its payload).
std::string DeltaFile(const std::vector<DeltaItem>& items,
                      const std::vector<std::string>& payloads);

// An item larger than nHoldLimit, or whose base is, is patched window by window
// (nWindow bytes, each against its base's region with nMargin more on either
// side), so that neither the publisher nor the updater holds it whole.
struct DeltaOptions {
    uint64_t nHoldLimit = uint64_t{64} * 1024 * 1024;
    uint64_t nWindow = uint64_t{8} * 1024 * 1024;
    uint64_t nMargin = uint64_t{1} * 1024 * 1024;
};

struct DeltaCounts {
    std::size_t nSame = 0, nPatched = 0, nDiffed = 0, nWhole = 0, nWindowed = 0;
    uint64_t nBytes = 0;  // the delta's size
    bool bMade = false;   // false: no delta, for the reason in skipped
    std::string skipped;
};

// Writes the delta of the archive at archivePath, whose items unpack below
// folder (relative to the installation folder, '/' separated, with its
// separator, or empty), against baseFolder (the installation folder as the
// earlier entries leave it), to deltaPath. Of the files that the set's signed
// index has from this archive (indexed: paths relative to the installation
// folder), an unchanged one is left out and a changed one names no hashes: the
// index says what each holds.
Expected<DeltaCounts> MakeDelta(const std::string& archivePath, const std::string& folder,
                                const std::string& baseFolder, const std::string& deltaPath,
                                const DeltaOptions& options = {},
                                const std::set<std::string>& indexed = {});

}  // namespace corvana
