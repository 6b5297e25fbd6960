// One archive's step of a run: its fetch, its check against the signed list and
// its install (whole, through its delta, or only chosen files for a repair), and
// the fetch of the set's other files. Each returns how the run is to end when it
// cannot go on; only the run itself ends the run.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "install/file_index.h"
#include "install/install_step.h"
#include "net/fetcher.h"
#include "platform/folder.h"
#include "run/ending.h"
#include "run/manifest.h"
#include "run/run_clock.h"
#include "run/run_control.h"
#include "run/run_screen.h"
#include "verify/patch_set.h"

namespace corvana {

// What the steps of a run work with.
class Prefetcher;

struct StepContext {
    Fetcher& fetcher;
    PatchSetVerifier& verifier;
    RunScreen& screen;
    RunControl& control;
    RunClock& clock;
    const FolderHandle& root;  // the installation folder
};

// Where a set's files are fetched from: the patch server's folder of the set,
// then the same folder on each of its mirrors. A host that failed a fetch is
// left for the others for the rest of the run; the last one is never left.
struct SetHosts {
    std::vector<std::string> bases;  // each ends in a slash
    std::vector<bool> left;

    explicit SetHosts(std::vector<std::string> all)
        : bases(std::move(all)), left(bases.size(), false) {}
};

// How a run ends when the fetch of url failed: a file above the buffer is
// refused (#-5); anything else is the server-unreachable ending.
RunEnding FetchEnding(const TransferError& error, const std::string& url);

// A file of the set read whole, as text, named name below baseUrl: the
// manifest, an index. With a key it is checked against the signed list, and one
// the server lacks is refused as not the publisher's (#-6); a web page in its
// place, or an empty manifest, is the server-unreachable ending. One that is
// bOptional and that the server lacks is empty.
Expected<std::string, RunEnding> FetchSetFile(StepContext& context, const std::string& baseUrl,
                                              const std::string& name, bool bOptional = false);

// Fetches and installs the entry: from its delta when the signed list names one
// and it fits the folder (checked against what signedFiles says), else from its
// archive; the entry's status and the bar follow it. A file that pPrefetcher
// has fetched, or is fetching, is taken from it.
ResultOf<RunEnding> InstallEntry(StepContext& context, SetHosts& hosts, const ManifestEntry& entry,
                                 const SignedFiles& signedFiles, Prefetcher* pPrefetcher = nullptr);

// What the set's signed index (path to its file, empty without one) says of
// archive's delta: the index's hash where it has the file from archive; nothing
// to check where it has it from an archive the run installs after it
// (laterArchives); else it cannot be told.
SignedFiles SignedFilesOf(const std::map<std::string, IndexedFile>& index,
                          const std::string& archive, const std::set<std::string>& laterArchives);

// Fetches the entry's archive whole (never its delta: its bases are what is
// damaged), or takes it from pPrefetcher, and puts back only paths ('/'
// separated, relative to the folder).
ResultOf<RunEnding> RestoreFromEntry(StepContext& context, SetHosts& hosts,
                                     const ManifestEntry& entry, const std::set<std::string>& paths,
                                     Prefetcher* pPrefetcher = nullptr);

}  // namespace corvana
