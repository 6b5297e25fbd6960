// Bodies too large to hold in memory: streamed into a file of the installation
// folder's downloads folder and hashed as they arrive, resumed where a broken
// transfer stopped (within the run after a short pause, and in a later run from
// what the folder kept), and checked against the signed list before anything of
// them is used.
#pragma once

#include <cstdint>
#include <string>

#include "platform/folder.h"
#include "run/ending.h"

namespace corvana {

struct StepContext;

// Transfers that break go on from where they stopped this many times in a run,
// after pauses that double from the first.
inline constexpr int MAX_RESUMES = 3;
inline constexpr uint32_t FIRST_RESUME_PAUSE_MS = 1000;

// A fetch that did not give the file: how the run ends, and whether the server
// answered that it has no such file (an error status) or that it is too large
// to hold in memory, or the failure is this machine's (its disk), not the server's.
struct FetchRefusal {
    RunEnding ending;
    bool bNotThere = false;
    bool bTooLarge = false;
    bool bHere = false;
};

// A body fetched whole into the downloads folder.
class StreamedBody {
public:
    StreamedBody(FolderHandle folder, std::string key, DataFile file)
        : m_folder(std::move(folder)), m_strKey(std::move(key)), m_file(std::move(file)) {}

    const DataFile& File() const { return m_file; }
    // Removes the body and what identifies it: it is installed, or of no use.
    void Discard();

private:
    FolderHandle m_folder;  // the downloads folder
    std::string m_strKey;   // the name its files share there
    DataFile m_file;
};

// Fetches url, the set's file name, into the downloads folder, with the bar and
// the size line following it; resumes what an earlier run kept of the same
// body. Ends the run when the disk cannot take the rest of it. With other hosts
// to turn to (bOtherHosts), a transfer that stalls is not resumed from this one.
Expected<StreamedBody, FetchRefusal> FetchToDisk(StepContext& context, const std::string& url,
                                                 const std::string& name, bool bOtherHosts = false);

// Whether the downloads folder keeps a part of url's body, fetched as name.
bool HasKeptBody(const FolderHandle& root, const std::string& url, const std::string& name);

// Removes what the downloads folder keeps (after a run that installed every
// entry), and anything there that is not a plain file of ours; a downloads
// folder that is not a folder is removed as itself.
void ClearDownloads(const FolderHandle& root);

}  // namespace corvana
