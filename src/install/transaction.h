// One archive, one transaction: its items are written into a staging folder inside
// the installation folder, flushed together, listed in a journal, and only then
// moved over their targets. An interrupted transaction is finished (journal
// written) or discarded (not yet) by the next start, so every archive is installed
// wholly or not at all.
#pragma once

#include <string>
#include <vector>

#include "archive/zip_extractor.h"
#include "install/folder_guard.h"

namespace corvana {

class InstallTransaction {
public:
    // The installation folder, with its separator.
    explicit InstallTransaction(std::string folder);
    ~InstallTransaction();  // discards what was not committed
    InstallTransaction(const InstallTransaction&) = delete;
    InstallTransaction& operator=(const InstallTransaction&) = delete;

    // Finishes what an earlier run left, then starts an empty staging folder.
    // downloadName, when not empty, names (relative to the installation folder) a
    // file of ours that goes whatever happens (the downloaded archive): a later
    // start removes it if this run cannot.
    Result Begin(const std::string& downloadName);
    const std::string& StagingFolder() const { return m_strStaging; }
    // The files written into the staging folder, with their targets (full paths,
    // each below its folder).
    std::vector<StagedFile>& Staged() { return m_staged; }

    // Flushes every staged file, writes the journal, moves each file over its
    // target, flushes again, and removes the journal and the staging folder.
    Result Commit();
    void Discard();

private:
    std::string m_strFolder;
    std::string m_strStaging;
    std::vector<StagedFile> m_staged;
    bool m_bOpen = false;
};

// Finishes (journal complete) or discards (not) what an interrupted transaction
// left in the installation folder, and removes a downloaded file of ours. The
// records are read as untrusted: one that names anything outside the folder (an
// absolute path, "..", a link made by another user) is discarded, and so is a
// staging folder that is not a folder (removed as itself). Returns a line for
// each record discarded.
std::vector<std::string> RepairInstallFolder(const std::string& folder);

}  // namespace corvana
