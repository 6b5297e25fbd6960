// A new patch set read back as a player's updater reads it, before it goes live:
// nothing is published that a player could not install.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "install/file_index.h"
#include "platform/failure.h"
#include "run/manifest.h"

namespace corvana {

// The files the entries numbered 1 or more install, in their order (a later
// entry's file replacing an earlier one's), each as the updater writes it: an
// archive's items with their paths as the extraction makes them (the
// installation package's setup.exe left out: the updater deletes it), any
// other file as itself; sorted by path. A failure names an archive that cannot
// be read whole or an item no player's system can hold.
Expected<std::vector<IndexedFile>> FilesTheSetInstalls(const std::string& setFolder,
                                                       const std::vector<ManifestEntry>& entries);

// Reads the set in setFolder as an updater does: the manifest (a web page, an
// unsafe name, a file larger than the updater takes, an empty one), every
// archive's items (names, sizes and CRC-32s), and, with publicKeyLine, the signed
// list and its signature (signed after nLiveTimestamp, naming every file with
// its hash) and the index of installed files against the archives.
Result CheckSetAsAPlayer(const std::string& setFolder, const std::string& publicKeyLine,
                         uint64_t nLiveTimestamp);

// Rebuilds every item of the delta at deltaPath as an updater does, on
// baseFolder (the installation folder the earlier entries leave; the archive's
// items unpack below folder in it), and compares each with the archive's; an
// item it leaves out must be among indexed (see MakeDelta) and the same as its
// base.
Result CheckDelta(const std::string& deltaPath, const std::string& archivePath,
                  const std::string& folder, const std::string& baseFolder,
                  const std::set<std::string>& indexed);

}  // namespace corvana
