// What the publisher packs: the files of a content folder, each with the name it
// gets in the archive, checked so that every player's system can hold it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/failure.h"

namespace corvana {

struct ContentFile {
    std::string name;  // the item's name: '/' separated, relative to the folder, UTF-8
    std::string path;  // where the file is
    uint64_t nSize = 0;
    int64_t nModified = 0;  // its modification time (Unix time)
    uint32_t dwMode = 0;    // its Unix mode (0644 or 0755 where the system has none)
};

// The files below folder, sorted by name. A link is refused by its name unless
// bFollowInside and it leads to a file inside the folder (then packed as that
// file); so are devices, pipes and sockets, names no player's system can hold
// (see CheckPortableName) and two names that differ only in letter case.
Expected<std::vector<ContentFile>> ScanContent(const std::string& folder, bool bFollowInside);

// Why names (each a relative path) cannot all be files of one folder on a system
// that ignores letter case: the first two that are equal but for it.
Result CheckCaseClashes(const std::vector<std::string>& names);

}  // namespace corvana
