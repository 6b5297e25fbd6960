// Installing a fetched file into the installation folder: saved there, unpacked
// when it is a ZIP archive (all of its items or none), and the archive deleted.
// Every file operation goes through the folder's handle (see platform/folder.h).
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "platform/folder.h"

namespace corvana {

// What an install does, in order, as it begins each: a fetched file is saved, a
// delta's bases are compared with the files there, an archive is unpacked.
enum class InstallStage { SAVING, COMPARING, UNPACKING, INSTALLED };
enum class InstallResult {
    INSTALLED,
    NOT_SAVED,
    NOT_UNPACKED,
    NO_SPACE,
    UNSAFE,  // the file or an item would be written outside the folder, or over a name of ours
    DELTA_UNUSABLE,  // a delta that does not fit the folder: the full archive is needed
};

// How an install ended; when not INSTALLED, why: the file's name and the words
// for the step and for the file operation that failed.
struct InstallOutcome {
    InstallResult result;
    Failure failure;
};

// A fetched file: its bytes in memory, or in a file of ours that holds them
// (a body too large to hold, streamed to the disk as it arrived).
struct FetchedBody {
    FetchedBody(std::string_view bytes) : memory(bytes) {}    // NOLINT: a body is its bytes
    FetchedBody(const std::string& bytes) : memory(bytes) {}  // NOLINT
    FetchedBody(const DataFile& file) : pFile(&file) {}       // NOLINT: or a file of them
    uint64_t Size() const { return pFile != nullptr ? pFile->Size() : memory.size(); }

    std::string_view memory;
    const DataFile* pFile = nullptr;
};

using StageReport = std::function<void(InstallStage)>;
// What the set's signed index of installed files says of a delta's archive.
struct SignedFiles {
    // The SHA-256 the file at path ('/' separated, relative to the folder)
    // holds once the archive is in, or "" when it need not be checked (a later
    // entry of the run writes it); a failure when that cannot be told.
    std::function<Expected<std::string>(const std::string& path)> hashOf;
    // The files the index has from this archive, each with its SHA-256: those
    // its delta does not name are unchanged.
    std::vector<std::pair<std::string, std::string>> own;
};

// Installs body, fetched as name, into the folder root. A body in memory is
// saved as name (hidden where the system has the attribute) through a temporary
// file, so a file it replaces stays whole until then; a body in a file is read
// from there. A name ending in "zip" (any case) is then unpacked into the folder
// that holds it, in one transaction, and the saved copy deleted; any other file
// is kept with normal attributes. onStage is told of
// each stage as it begins. An archive whose items do not fit the free space,
// that cannot be unpacked whole, or with an item whose place is refused (see
// CheckPlace) changes nothing.
InstallOutcome InstallFile(const FolderHandle& root, const std::string& name,
                           const FetchedBody& body, const StageReport& onStage);

// Installs the items of the archive archiveName from its delta (see
// archive/delta.h) as InstallFile would unpack the archive: each item rebuilt
// from the folder's file of the same name, taken whole, or left as it is, in one
// transaction. DELTA_UNUSABLE, with nothing changed, when a base is not the file
// the delta names (the player changed it), an unchanged file does not hold what
// the signed index says, or an item does not rebuild right.
InstallOutcome InstallFromDelta(const FolderHandle& root, const std::string& archiveName,
                                std::string_view delta, const StageReport& onStage,
                                const SignedFiles& signedFiles);

// Puts back the files at paths ('/' separated, relative to the folder) from the
// fetched file name: the file itself when it is not an archive, else those items
// of the archive alone, in one transaction; nothing else in the folder is written.
// NOT_UNPACKED, with nothing changed, when the archive lacks one of them.
InstallOutcome RestoreFiles(const FolderHandle& root, const std::string& name,
                            const FetchedBody& body, const std::set<std::string>& paths);

}  // namespace corvana
