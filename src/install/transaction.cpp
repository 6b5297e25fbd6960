#include "install/transaction.h"

#include <fstream>
#include <iterator>

#include "platform/files.h"
#include "platform/platform.h"

namespace corvana {

namespace {

constexpr const char* JOURNAL_NAME = "journal";
constexpr const char* DOWNLOAD_NAME = "download";

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Writes a small file of the staging folder in one step, durably.
bool WriteRecord(const std::string& staging, const char* pszName, const std::string& data) {
    return ReplaceWholeFile(staging + kPathSeparator + pszName, data, staging.c_str()) &&
           FlushFolder(staging.c_str());
}

// The journal: each staged file and its target, every path ended by a zero byte.
std::vector<StagedFile> ReadJournal(const std::string& text) {
    std::vector<StagedFile> staged;
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nTempEnd = text.find('\0', nStart);
        if (nTempEnd == std::string::npos) break;
        const std::size_t nTargetEnd = text.find('\0', nTempEnd + 1);
        if (nTargetEnd == std::string::npos) break;
        staged.push_back({text.substr(nStart, nTempEnd - nStart),
                          text.substr(nTempEnd + 1, nTargetEnd - nTempEnd - 1)});
        nStart = nTargetEnd + 1;
    }
    return staged;
}

bool MoveAll(const std::vector<StagedFile>& staged) {
    bool bAll = true;
    for (const StagedFile& file : staged) {
        // A file moved before an interruption is not in the staging folder any more.
        if (GetPathKind(file.strTemp.c_str()) != PathKind::FILE) continue;
        bAll = MoveReplacing(file.strTemp.c_str(), file.strTarget.c_str()) && bAll;
    }
    return bAll;
}

}  // namespace

InstallTransaction::InstallTransaction(std::string folder)
    : m_strFolder(std::move(folder)), m_strStaging(m_strFolder + STAGING_FOLDER_NAME) {}

InstallTransaction::~InstallTransaction() { Discard(); }

bool InstallTransaction::Begin(const std::string& downloadPath) {
    RepairInstallFolder(m_strFolder);
    if (!CreateFolder(m_strStaging.c_str())) return false;
    m_bOpen = true;
    return downloadPath.empty() || WriteRecord(m_strStaging, DOWNLOAD_NAME, downloadPath);
}

bool InstallTransaction::Commit() {
    if (!m_bOpen) return false;
    // Every staged file is on the disk before the journal says it may be moved.
    if (!FlushFileSystem(m_strStaging.c_str())) return false;
    std::string journal;
    for (const StagedFile& file : m_staged) {
        journal += file.strTemp;
        journal += '\0';
        journal += file.strTarget;
        journal += '\0';
    }
    if (!WriteRecord(m_strStaging, JOURNAL_NAME, journal)) return false;
    // From here on the transaction completes, now or at the next start: what
    // cannot be moved now stays staged for that.
    m_bOpen = false;
    const bool bMoved = MoveAll(m_staged) && FlushFileSystem(m_strFolder.c_str());
    if (bMoved) RemoveFlatFolder(m_strStaging.c_str());
    return bMoved;
}

void InstallTransaction::Discard() {
    if (!m_bOpen) return;
    RemoveFlatFolder(m_strStaging.c_str());
    m_staged.clear();
    m_bOpen = false;
}

void RepairInstallFolder(const std::string& folder) {
    const std::string staging = folder + STAGING_FOLDER_NAME;
    if (GetPathKind(staging.c_str()) != PathKind::FOLDER) return;
    const std::string journal = staging + kPathSeparator + JOURNAL_NAME;
    if (GetPathKind(journal.c_str()) == PathKind::FILE) {
        MoveAll(ReadJournal(ReadWhole(journal)));
        FlushFileSystem(folder.c_str());
    }
    const std::string download = staging + kPathSeparator + DOWNLOAD_NAME;
    if (GetPathKind(download.c_str()) == PathKind::FILE) {
        const std::string path = ReadWhole(download);
        SetNormalAttributes(path.c_str());
        DeleteOneFile(path.c_str());
    }
    RemoveFlatFolder(staging.c_str());
}

}  // namespace corvana
