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

// Parts of a body that other connections fetch while one fetches it from its
// start: that transfer keeps the bytes before the first part, then appends the
// parts in turn as they come, and fetches itself what a part did not bring.
class BodyParts {
public:
    virtual ~BodyParts() = default;
    // The transfer from url began at byte nFrom of a body of nTotal bytes, of
    // the version validator names (parts are fetched only of a named version).
    virtual void Began(const std::string& url, uint64_t nFrom, uint64_t nTotal,
                       const std::string& validator) = 0;
    // How many of nSize bytes arriving at byte nAt the transfer keeps: those
    // before the first part.
    virtual uint64_t Keep(uint64_t nAt, uint64_t nSize) = 0;
    // Appends to file, which ends where the first part begins, each part in
    // turn when it has come, up to one that did not come whole (what came of it
    // is appended); ends early on a cancel.
    virtual Result AppendParts(DataFile& file) = 0;
};

// Fetches url, the set's file name, into the downloads folder, with the bar and
// the size line following it; resumes what an earlier run kept of the same
// body. Ends the run when the disk cannot take the rest of it. With other hosts
// to turn to (bOtherHosts), a transfer that stalls is not resumed from this one.
// With pParts, other connections may fetch parts of the body meanwhile.
Expected<StreamedBody, FetchRefusal> FetchToDisk(StepContext& context, const std::string& url,
                                                 const std::string& name, bool bOtherHosts = false,
                                                 BodyParts* pParts = nullptr);

// The downloads folder's name for the part of name's body from byte nFrom on
// that another connection fetches.
std::string BodyPartName(const std::string& name, uint64_t nFrom);

// Whether the downloads folder keeps a part of url's body, fetched as name.
bool HasKeptBody(const FolderHandle& root, const std::string& url, const std::string& name);

// Removes what the downloads folder keeps (after a run that installed every
// entry), and anything there that is not a plain file of ours; a downloads
// folder that is not a folder is removed as itself.
void ClearDownloads(const FolderHandle& root);

}  // namespace corvana
