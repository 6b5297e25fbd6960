#include "install/transaction.h"

#include <string_view>

#include "platform/files.h"
#include "platform/platform.h"

namespace corvana {

namespace {

constexpr const char* JOURNAL_NAME = "journal";
constexpr const char* DOWNLOAD_NAME = "download";
// A journal names one archive's items; anything longer was not written by us.
constexpr std::size_t RECORD_LIMIT = std::size_t{16} * 1024 * 1024;

// Writes a small file of the staging folder in one step, durably.
Result WriteRecord(const std::string& staging, const char* pszName, const std::string& data) {
    if (Result written =
            ReplaceWholeFile(staging + kPathSeparator + pszName, data, staging.c_str());
        !written) {
        return written;
    }
    return FlushFolder(staging.c_str());
}

// A name of a record relative to base (with its separator). Records of earlier
// versions held full paths; one below base is taken relative to it.
std::string_view RelativeTo(std::string_view name, const std::string& base) {
    if (name.size() > base.size() && name.substr(0, base.size()) == base) {
        name.remove_prefix(base.size());
    }
    return name;
}

// A temporary file of the staging folder: one plain component of ours.
bool IsStagedName(std::string_view name) {
    return name.starts_with("part") && name.find_first_of("/\\") == std::string_view::npos;
}

// The journal: each staged file (its name in the staging folder) and its target
// (relative to the installation folder), every name ended by a zero byte. A
// failure when any pair is incomplete or names a place outside.
Expected<std::vector<StagedFile>> ReadJournal(std::string_view text, const std::string& folder,
                                              const std::string& staging) {
    const Failure incomplete{{}, "it is incomplete"};
    const std::string stagingBase = staging + kPathSeparator;
    std::vector<std::string_view> names;
    for (std::size_t nStart = 0; nStart < text.size();) {
        const std::size_t nEnd = text.find('\0', nStart);
        if (nEnd == std::string_view::npos) return incomplete;
        names.push_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    if (names.size() % 2 != 0) return incomplete;
    std::vector<StagedFile> staged;
    for (std::size_t i = 0; i < names.size(); i += 2) {
        const std::string_view temp = RelativeTo(names[i], stagingBase);
        const std::string_view target = RelativeTo(names[i + 1], folder);
        if (!IsStagedName(temp)) {
            return Failure{std::string(names[i]), "not a file of the staging folder"};
        }
        if (Result place = CheckPlace(folder, target); !place) return place.GetFailure();
        staged.push_back({stagingBase + std::string(temp), folder + std::string(target)});
    }
    return staged;
}

// Moves every staged file that is still there; the first failure, after trying all.
Result MoveAll(const std::vector<StagedFile>& staged) {
    Result all;
    for (const StagedFile& file : staged) {
        // A file moved before an interruption is not in the staging folder any
        // more; whatever else is there under its name is not ours to move.
        if (GetEntryKind(file.strTemp.c_str()) != EntryKind::FILE) continue;
        if (Result moved = MoveReplacing(file.strTemp.c_str(), file.strTarget.c_str());
            !moved && all) {
            all = std::move(moved);
        }
    }
    return all;
}

// A record of the staging folder; nothing when there is none. One that is there
// but is not a small plain file is discarded with a line in notes.
std::optional<std::string> ReadRecord(const std::string& staging, const char* pszName,
                                      std::vector<std::string>& notes) {
    const std::string path = staging + kPathSeparator + pszName;
    if (GetEntryKind(path.c_str()) == EntryKind::NONE) return std::nullopt;
    std::optional<std::string> text = ReadSmallFile(path.c_str(), RECORD_LIMIT);
    if (!text) notes.push_back(path + ": discarded, not a plain file of ours");
    return text;
}

}  // namespace

InstallTransaction::InstallTransaction(std::string folder)
    : m_strFolder(std::move(folder)), m_strStaging(m_strFolder + STAGING_FOLDER_NAME) {}

InstallTransaction::~InstallTransaction() { Discard(); }

Result InstallTransaction::Begin(const std::string& downloadName) {
    // The run reported what its first repair discarded; this one finds only what
    // this run left.
    RepairInstallFolder(m_strFolder);
    if (Result made = MakeEmptyFolder(m_strStaging); !made) return made;
    m_bOpen = true;
    if (downloadName.empty()) return {};
    return WriteRecord(m_strStaging, DOWNLOAD_NAME, downloadName);
}

Result InstallTransaction::Commit() {
    if (!m_bOpen) return Failure{m_strStaging, "no transaction is open"};
    // Every staged file is on the disk before the journal says it may be moved.
    if (Result flushed = FlushFileSystem(m_strStaging.c_str()); !flushed) return flushed;
    std::string journal;
    for (const StagedFile& file : m_staged) {
        journal += RelativeTo(file.strTemp, m_strStaging + kPathSeparator);
        journal += '\0';
        journal += RelativeTo(file.strTarget, m_strFolder);
        journal += '\0';
    }
    if (Result written = WriteRecord(m_strStaging, JOURNAL_NAME, journal); !written) return written;
    // From here on the transaction completes, now or at the next start: what
    // cannot be moved now stays staged for that.
    m_bOpen = false;
    Result moved = MoveAll(m_staged);
    if (moved) moved = FlushFileSystem(m_strFolder.c_str());
    if (moved) RemoveTree(m_strStaging.c_str());
    return moved;
}

void InstallTransaction::Discard() {
    if (!m_bOpen) return;
    RemoveTree(m_strStaging.c_str());
    m_staged.clear();
    m_bOpen = false;
}

std::vector<std::string> RepairInstallFolder(const std::string& folder) {
    std::vector<std::string> notes;
    const std::string staging = folder + STAGING_FOLDER_NAME;
    switch (GetEntryKind(staging.c_str())) {
        case EntryKind::NONE:
            return notes;
        case EntryKind::FOLDER:
            break;
        default:
            // A link, a file: removed as itself, never what it leads to.
            if (!RemoveTree(staging.c_str())) {
                notes.push_back(staging + ": not a folder of ours, and it cannot be removed");
            }
            return notes;
    }
    if (const std::optional<std::string> journal = ReadRecord(staging, JOURNAL_NAME, notes)) {
        if (const auto staged = ReadJournal(*journal, folder, staging)) {
            // What cannot be moved now is discarded with the staging folder below.
            static_cast<void>(MoveAll(*staged));
            static_cast<void>(FlushFileSystem(folder.c_str()));
        } else {
            notes.push_back(staging + kPathSeparator + JOURNAL_NAME + ": discarded, " +
                            staged.GetFailure().Text());
        }
    }
    if (const std::optional<std::string> download = ReadRecord(staging, DOWNLOAD_NAME, notes)) {
        const std::string name(RelativeTo(*download, folder));
        const std::string path = folder + name;
        if (Result place = CheckPlace(folder, name); !place) {
            notes.push_back(staging + kPathSeparator + DOWNLOAD_NAME + ": discarded, " +
                            place.GetFailure().Text());
        } else if (GetEntryKind(path.c_str()) == EntryKind::FILE) {
            SetNormalAttributes(path.c_str());
            DeleteOneFile(path.c_str());
        }
    }
    if (!RemoveTree(staging.c_str())) notes.push_back(staging + ": cannot be removed");
    return notes;
}

}  // namespace corvana
