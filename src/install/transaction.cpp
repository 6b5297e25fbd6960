#include "install/transaction.h"

#include <optional>
#include <set>

#include "archive/item_name.h"
#include "platform/platform.h"

namespace corvana {

namespace {

constexpr const char* JOURNAL_NAME = "journal";
constexpr const char* DOWNLOAD_NAME = "download";
constexpr const char* STAGINGS_NAME = "stagings";  // the staging folders on other file systems
// A journal names one archive's items; anything longer was not written by us.
constexpr std::size_t RECORD_LIMIT = std::size_t{16} * 1024 * 1024;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// A relative path split after its last separator: the folder (with its
// separator, or empty) and the name.
std::pair<std::string, std::string> SplitName(std::string_view relative) {
    std::size_t nCut = relative.size();
    while (nCut > 0 && !IsSeparator(relative[nCut - 1])) --nCut;
    return {std::string(relative.substr(0, nCut)), std::string(relative.substr(nCut))};
}

// Writes a small file of the staging folder in one step, durably.
Result WriteRecord(const FolderHandle& staging, const char* pszName, std::string_view data) {
    Expected<NewFile> file = staging.CreateTemporary("part");
    if (!file) return file.GetFailure();
    if (Result written = (*file).Write(data.data(), data.size()); !written) return written;
    if (Result finished = (*file).Finish(); !finished) return finished;
    if (Result moved = staging.Rename((*file).Name(), staging, pszName); !moved) return moved;
    return staging.Flush();
}

// Names joined, each ended by a zero byte (the records' form).
std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += name + '\0';
    return text;
}

// The names of a record; nothing when its last name is not ended.
std::optional<std::vector<std::string>> SplitNames(std::string_view text) {
    std::vector<std::string> names;
    for (std::size_t nStart = 0; nStart < text.size();) {
        const std::size_t nEnd = text.find('\0', nStart);
        if (nEnd == std::string_view::npos) return std::nullopt;
        names.emplace_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return names;
}

// A name of a record relative to base (with its separator). Records of earlier
// versions held full paths; one below base is taken relative to it.
std::string_view RelativeTo(std::string_view name, const std::string& base) {
    if (name.size() > base.size() && name.substr(0, base.size()) == base) {
        name.remove_prefix(base.size());
    }
    return name;
}

// A temporary file of a staging folder: one plain component of ours.
bool IsStagedName(std::string_view name) {
    return name.starts_with("part") && name.find_first_of("/\\") == std::string_view::npos;
}

// A folder of ours on another file system, as a record names it: a relative
// folder that stays inside the installation folder.
bool IsFolderName(std::string_view relative) {
    return relative.empty() ||
           (IsSeparator(relative.back()) && IsSafeItemName(relative) && !IsReservedName(relative));
}

// One move of a journal: a staged file and its target, each folder opened.
struct JournalMove {
    FolderHandle from;
    std::string temp;
    FolderHandle to;
    std::string target;
};

// The journal's moves: each staged file (its name in the main staging folder, or
// "FOLDER/.corvana-staging/NAME" for one on another file system) and its target
// (relative to the installation folder). A failure when any pair is incomplete
// or names a place outside, or a folder on the way is refused: then nothing of
// it is done.
Expected<std::vector<JournalMove>> ReadJournal(std::string_view text, const FolderHandle& root) {
    const std::optional<std::vector<std::string>> names = SplitNames(text);
    if (!names || names->size() % 2 != 0) return Failure{{}, "it is incomplete"};
    const std::string stagingBase = root.Path() + STAGING_FOLDER_NAME + kPathSeparator;
    std::vector<JournalMove> moves;
    for (std::size_t i = 0; i < names->size(); i += 2) {
        const std::string_view temp = RelativeTo(RelativeTo((*names)[i], stagingBase), root.Path());
        const std::string_view target = RelativeTo((*names)[i + 1], root.Path());
        auto [tempFolder, tempName] = SplitName(temp);
        // The main staging folder's files are named alone; another's with its folder.
        const std::string_view stagingName =
            std::string_view(tempFolder).substr(0, tempFolder.empty() ? 0 : tempFolder.size() - 1);
        const std::string above(SplitName(stagingName).first);
        if (!IsStagedName(tempName) ||
            (!tempFolder.empty() &&
             (SplitName(stagingName).second != STAGING_FOLDER_NAME || !IsFolderName(above)))) {
            return Failure{(*names)[i], "not a file of a staging folder"};
        }
        if (!IsSafeItemName(target) || IsReservedName(target)) {
            return Failure{std::string(target),
                           "a name that leaves the folder or that the updater keeps"};
        }
        const auto [targetFolder, targetName] = SplitName(target);
        Expected<FolderHandle> from = root.OpenBelow(
            tempFolder.empty() ? std::string(STAGING_FOLDER_NAME) : tempFolder, false);
        if (!from) return from.GetFailure();
        Expected<FolderHandle> to = root.OpenBelow(targetFolder, false);
        if (!to) return to.GetFailure();
        moves.push_back({std::move(*from), tempName, std::move(*to), targetName});
    }
    return moves;
}

// A record of the staging folder; nothing when there is none. One that is there
// but is not a small plain file is discarded with a note.
std::optional<std::string> ReadRecord(const FolderHandle& staging, const char* pszName,
                                      std::vector<std::string>& notes) {
    if (staging.KindOf(pszName) == EntryKind::NONE) return std::nullopt;
    Expected<std::string> text = staging.ReadSmallFile(pszName, RECORD_LIMIT);
    if (!text) {
        notes.push_back(staging.Path() + pszName + ": discarded, not a plain file of ours (" +
                        text.GetFailure().why + ")");
        return std::nullopt;
    }
    return std::move(*text);
}

// Removes the downloaded file a record names, when it is a plain file.
void RemoveDownload(const FolderHandle& root, std::string_view relative) {
    const auto [folder, name] = SplitName(relative);
    const Expected<FolderHandle> holder = root.OpenBelow(folder, false);
    if (holder && (*holder).KindOf(name) == EntryKind::FILE) {
        (*holder).SetHidden(name, false);
        (*holder).RemoveEntry(name);
    }
}

}  // namespace

InstallTransaction::InstallTransaction(const FolderHandle& root) : m_root(root) {}

InstallTransaction::~InstallTransaction() { Discard(); }

Result InstallTransaction::Begin(const std::string& downloadName) {
    // The run noted what its first recovery discarded; this one finds only what
    // this run left.
    RecoverInstallFolder(m_root);
    m_root.RemoveTree(STAGING_FOLDER_NAME);
    if (Result made = m_root.MakeFolder(STAGING_FOLDER_NAME); !made) return made;
    Expected<FolderHandle> parent = m_root.OpenBelow("", false);
    Expected<FolderHandle> staging = m_root.OpenBelow(STAGING_FOLDER_NAME, false);
    if (!parent) return parent.GetFailure();
    if (!staging) return staging.GetFailure();
    const Expected<uint64_t> fileSystem = (*staging).FileSystemId();
    if (!fileSystem) return fileSystem.GetFailure();
    m_stagings.push_back({"", std::move(*parent), std::move(*staging), *fileSystem});
    m_bOpen = true;
    m_strDownload = downloadName;
    if (downloadName.empty()) return {};
    return WriteRecord(m_stagings[0].folder, DOWNLOAD_NAME, downloadName);
}

Expected<const FolderHandle*> InstallTransaction::TargetFolder(const std::string& relative) {
    if (const auto known = m_folders.find(relative); known != m_folders.end()) {
        return &known->second;
    }
    Expected<FolderHandle> folder = m_root.OpenBelow(relative, true);
    if (!folder) return folder.GetFailure();
    return &m_folders.emplace(relative, std::move(*folder)).first->second;
}

Expected<std::size_t> InstallTransaction::StagingFor(const std::string& relative,
                                                     const FolderHandle& folder) {
    const Expected<uint64_t> fileSystem = folder.FileSystemId();
    if (!fileSystem) return fileSystem.GetFailure();
    if (*fileSystem == m_stagings[0].nFileSystem) return std::size_t{0};
    // The top of the path's part on that file system: the folder a link leads
    // to, where the player put it.
    std::string top;
    for (std::size_t nAt = 0; nAt < relative.size(); ++nAt) {
        if (!IsSeparator(relative[nAt])) continue;
        top = relative.substr(0, nAt + 1);
        const Expected<FolderHandle> level = m_root.OpenBelow(top, false);
        if (!level) return level.GetFailure();
        const Expected<uint64_t> levelSystem = (*level).FileSystemId();
        if (!levelSystem) return levelSystem.GetFailure();
        if (*levelSystem != m_stagings[0].nFileSystem) break;
    }
    for (std::size_t i = 1; i < m_stagings.size(); ++i) {
        if (m_stagings[i].relative == top) return i;
    }
    // On record before it is made, so that a start after a crash finds it.
    std::vector<std::string> relatives;
    for (std::size_t i = 1; i < m_stagings.size(); ++i) relatives.push_back(m_stagings[i].relative);
    relatives.push_back(top);
    if (Result recorded = WriteRecord(m_stagings[0].folder, STAGINGS_NAME, JoinNames(relatives));
        !recorded) {
        return recorded.GetFailure();
    }
    Expected<FolderHandle> parent = m_root.OpenBelow(top, false);
    if (!parent) return parent.GetFailure();
    (*parent).RemoveTree(STAGING_FOLDER_NAME);
    if (Result made = (*parent).MakeFolder(STAGING_FOLDER_NAME); !made) return made.GetFailure();
    Expected<FolderHandle> staging = (*parent).OpenBelow(STAGING_FOLDER_NAME, false);
    if (!staging) return staging.GetFailure();
    const Expected<uint64_t> stagingSystem = (*staging).FileSystemId();
    if (!stagingSystem) return stagingSystem.GetFailure();
    if (*stagingSystem != *fileSystem) {
        return Failure{relative, "lies on a file system of its own below " + top +
                                     ", where nothing can be staged for it"};
    }
    m_stagings.push_back({top, std::move(*parent), std::move(*staging), *stagingSystem});
    return m_stagings.size() - 1;
}

Expected<NewFile> InstallTransaction::Create(const std::string& relative) {
    if (!m_bOpen) return Failure{relative, "no transaction is open"};
    const auto [folderName, name] = SplitName(relative);
    const Expected<const FolderHandle*> folder = TargetFolder(folderName);
    if (!folder) return folder.GetFailure();
    if (Result replaceable = (**folder).CheckReplaceable(name); !replaceable) {
        return replaceable.GetFailure();
    }
    const Expected<std::size_t> staging = StagingFor(folderName, **folder);
    if (!staging) return staging.GetFailure();
    Expected<NewFile> file = m_stagings[*staging].folder.CreateTemporary("part");
    if (!file) return file;
    if (!m_pending.emplace((*file).Name(), Staged{*staging, (*file).Name(), relative}).second) {
        return Failure{relative, "a temporary name was given twice"};
    }
    return file;
}

Result InstallTransaction::Keep(NewFile file) {
    const auto pending = m_pending.find(file.Name());
    if (pending == m_pending.end()) return Failure{file.Name(), "not a file of this transaction"};
    m_staged.push_back(std::move(pending->second));
    m_pending.erase(pending);
    return {};
}

Result InstallTransaction::SaveNow(const std::string& relative, std::string_view data,
                                   bool bHidden) {
    Expected<NewFile> file = Create(relative);
    if (!file) return file.GetFailure();
    const Staged staged = m_pending.at((*file).Name());
    m_pending.erase((*file).Name());
    if (Result written = (*file).Write(data.data(), data.size()); !written) return written;
    if (Result finished = (*file).Finish(); !finished) return finished;
    const auto [folderName, name] = SplitName(relative);
    const FolderHandle& folder = m_folders.at(folderName);
    if (Result moved = m_stagings[staged.nStaging].folder.Rename(staged.temp, folder, name);
        !moved) {
        m_stagings[staged.nStaging].folder.RemoveEntry(staged.temp);
        return moved;
    }
    folder.SetHidden(name, bHidden);
    return folder.Flush();
}

Result InstallTransaction::Commit() {
    if (!m_bOpen) return Failure{m_root.Path() + STAGING_FOLDER_NAME, "no transaction is open"};
    // Every staged file is on the disk before the journal says it may be moved.
    for (const Staging& staging : m_stagings) {
        if (Result flushed = staging.folder.FlushFileSystem(); !flushed) return flushed;
    }
    std::vector<std::string> journal;
    for (const Staged& file : m_staged) {
        const Staging& staging = m_stagings[file.nStaging];
        journal.push_back(file.nStaging == 0 ? file.temp
                                             : staging.relative + STAGING_FOLDER_NAME +
                                                   kPathSeparator + file.temp);
        journal.push_back(file.target);
    }
    if (Result written = WriteRecord(m_stagings[0].folder, JOURNAL_NAME, JoinNames(journal));
        !written) {
        return written;
    }
    // From here on the transaction completes, now or at the next start: what
    // cannot be moved now stays staged for that.
    m_bOpen = false;
    Result moved;
    for (const Staged& file : m_staged) {
        const auto [folderName, name] = SplitName(file.target);
        Result one =
            m_stagings[file.nStaging].folder.Rename(file.temp, m_folders.at(folderName), name);
        if (!one && moved) moved = std::move(one);
    }
    for (const Staging& staging : m_stagings) {
        if (Result flushed = staging.parent.FlushFileSystem(); !flushed && moved) moved = flushed;
    }
    if (moved) RemoveStagings();
    return moved;
}

void InstallTransaction::RemoveStagings() {
    // Each folder's own handle goes first: a held folder cannot be removed on Windows.
    for (auto staging = m_stagings.rbegin(); staging != m_stagings.rend(); ++staging) {
        staging->folder = FolderHandle();
        staging->parent.RemoveTree(STAGING_FOLDER_NAME);
    }
    m_stagings.clear();
}

void InstallTransaction::Discard() {
    if (!m_bOpen) return;
    // The downloaded file goes with the record that would have removed it.
    if (!m_strDownload.empty()) RemoveDownload(m_root, m_strDownload);
    m_pending.clear();
    m_staged.clear();
    RemoveStagings();
    m_bOpen = false;
}

std::vector<std::string> RecoverInstallFolder(const FolderHandle& root) {
    std::vector<std::string> notes;
    const std::string stagingPath = root.Path() + STAGING_FOLDER_NAME;
    switch (root.KindOf(STAGING_FOLDER_NAME)) {
        case EntryKind::NONE:
            return notes;
        case EntryKind::FOLDER:
            break;
        default:
            // A link, a file: removed as itself, never what it leads to.
            if (!root.RemoveTree(STAGING_FOLDER_NAME)) {
                notes.push_back(stagingPath + ": not a folder of ours, and it cannot be removed");
            }
            return notes;
    }
    {
        Expected<FolderHandle> staging = root.OpenBelow(STAGING_FOLDER_NAME, false);
        if (!staging) {
            notes.push_back(stagingPath + ": discarded, " + staging.GetFailure().Text());
        } else {
            const FolderHandle& folder = *staging;
            if (const std::optional<std::string> journal =
                    ReadRecord(folder, JOURNAL_NAME, notes)) {
                if (const Expected<std::vector<JournalMove>> moves = ReadJournal(*journal, root)) {
                    // What cannot be moved now is discarded with the staging folders below.
                    std::set<uint64_t> flushed;
                    for (const JournalMove& move : *moves) {
                        // Moved before the interruption.
                        if (move.from.KindOf(move.temp) != EntryKind::FILE) continue;
                        static_cast<void>(move.from.Rename(move.temp, move.to, move.target));
                        const Expected<uint64_t> fileSystem = move.to.FileSystemId();
                        if (fileSystem && flushed.insert(*fileSystem).second) {
                            static_cast<void>(move.to.FlushFileSystem());
                        }
                    }
                } else {
                    notes.push_back(stagingPath + kPathSeparator + JOURNAL_NAME + ": discarded, " +
                                    moves.GetFailure().Text());
                }
            }
            if (const std::optional<std::string> stagings =
                    ReadRecord(folder, STAGINGS_NAME, notes)) {
                const std::optional<std::vector<std::string>> relatives = SplitNames(*stagings);
                for (const std::string& relative :
                     relatives ? *relatives : std::vector<std::string>{}) {
                    Expected<FolderHandle> above =
                        IsFolderName(relative) && !relative.empty()
                            ? root.OpenBelow(relative, false)
                            : Expected<FolderHandle>(Failure{relative, "not a folder of ours"});
                    if (above && (*above).KindOf(STAGING_FOLDER_NAME) != EntryKind::NONE) {
                        (*above).RemoveTree(STAGING_FOLDER_NAME);
                    } else if (!above) {
                        notes.push_back(stagingPath + kPathSeparator + STAGINGS_NAME +
                                        ": discarded, " + above.GetFailure().Text());
                    }
                }
            }
            if (const std::optional<std::string> download =
                    ReadRecord(folder, DOWNLOAD_NAME, notes)) {
                const std::string_view relative = RelativeTo(*download, root.Path());
                if (!IsSafeItemName(relative) || IsReservedName(relative)) {
                    notes.push_back(stagingPath + kPathSeparator + DOWNLOAD_NAME + ": discarded, " +
                                    std::string(relative) + ": a name that leaves the folder");
                } else {
                    RemoveDownload(root, relative);
                }
            }
        }
    }
    if (!root.RemoveTree(STAGING_FOLDER_NAME)) notes.push_back(stagingPath + ": cannot be removed");
    return notes;
}

}  // namespace corvana
