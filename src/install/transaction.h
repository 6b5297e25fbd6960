// One archive, one transaction: its items are written into a staging folder,
// flushed together, listed in a journal, and only then moved over their
// targets. An interrupted transaction is finished (journal written) or
// discarded (not yet) by the next start, so every archive is installed wholly or
// not at all.
//
// Every move is a rename within one file system: an item whose folder lies on
// another file system than the installation folder (a folder the player moved to
// another disk and linked back) is staged in a staging folder of its own there,
// at the top of that file system's part of the path; the journal names each.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_extractor.h"
#include "install/folder_guard.h"
#include "platform/folder.h"

namespace corvana {

class InstallTransaction : public StagingArea {
public:
    // The installation folder, which outlives the transaction.
    explicit InstallTransaction(const FolderHandle& root);
    ~InstallTransaction() override;  // discards what was not committed
    InstallTransaction(const InstallTransaction&) = delete;
    InstallTransaction& operator=(const InstallTransaction&) = delete;

    // Finishes what an earlier run left, then starts an empty staging folder.
    // downloadName, when not empty, names (relative to the installation folder) a
    // file of ours that goes whatever happens (the downloaded archive): a later
    // start removes it if this run cannot, and a discard removes it.
    Result Begin(const std::string& downloadName);

    // A new file that takes relative's place (relative to the installation
    // folder) at the commit: staged on the file system of its folder, which is
    // made when missing. A failure when a folder on the way is refused.
    Expected<NewFile> Create(const std::string& relative) override;
    // The finished file, kept for the commit.
    Result Keep(NewFile file) override;
    // Writes data as relative at once, through the staging folder, flushed
    // (hidden where the system has the attribute when bHidden).
    Result SaveNow(const std::string& relative, std::string_view data, bool bHidden);

    // Flushes every staged file, writes the journal, moves each file over its
    // target, flushes again, and removes the journal and the staging folders.
    Result Commit();
    void Discard();

private:
    struct Staging {
        std::string relative;  // the folder it lies in, with its separator ("" for the main one)
        FolderHandle parent;   // that folder
        FolderHandle folder;   // the staging folder itself
        uint64_t nFileSystem = 0;
    };
    struct Staged {
        std::size_t nStaging;  // where its temporary file is
        std::string temp;      // that file's name there
        std::string target;    // relative to the installation folder
    };

    // The staging folder for files of the folder relative (opened as folder).
    Expected<std::size_t> StagingFor(const std::string& relative, const FolderHandle& folder);
    // The target's folder, opened (and made) once per transaction.
    Expected<const FolderHandle*> TargetFolder(const std::string& relative);
    void RemoveStagings();

    const FolderHandle& m_root;
    std::vector<Staging> m_stagings;                // the main one first
    std::map<std::string, FolderHandle> m_folders;  // targets' folders, by relative path
    std::map<std::string, Staged> m_pending;        // files created, not yet kept, by path
    std::vector<Staged> m_staged;
    std::string m_strDownload;  // the downloaded file that goes whatever happens, if any
    bool m_bOpen = false;
};

// Finishes (journal complete) or discards (not) what an interrupted transaction
// left in the installation folder, and removes a downloaded file of ours. The
// records are read as untrusted: one that names anything outside the folder (an
// absolute path, "..", a link made by another user) is discarded, and so is a
// staging folder that is not a folder (removed as itself). Returns a note for
// each record discarded.
std::vector<std::string> RecoverInstallFolder(const FolderHandle& root);

}  // namespace corvana
