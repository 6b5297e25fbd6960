// The files of a patch set a run reads besides its archives: the signed list
// and its signature (with a key), the manifest and, for a repair, the index of
// installed files, read as one whole set.
#pragma once

#include <string>

#include "run/archive_step.h"

namespace corvana {

struct FetchedSet {
    std::string baseUrl;  // where the set's files are fetched from (ends in a slash)
    std::string setName;  // the set folder's name; empty on a server without pointers
    std::string mirrors;  // the set's list of further hosts; empty without one
    std::string manifest;
    std::string fileSums;     // the index of installed files, for a repair
    std::string fileEntries;  // and its entries
};

// Fetches the set below baseUrl (with a key, from the folder that the set's
// pointer there names, when the server has one) and, with a key, checks each file against the
// list, the list against the key and the installation folder's record of the
// newest set accepted there (an older one is refused), and records this one. A
// set being replaced on the server can be seen half old, half new: one that does
// not verify is fetched once more, 2 s later, before it is refused.
Expected<FetchedSet, RunEnding> FetchSet(StepContext& context, const std::string& baseUrl,
                                         bool bWithIndex);

}  // namespace corvana
