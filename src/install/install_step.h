// Installing a fetched file into the installation folder: saved there, unpacked
// when it is a ZIP archive (all of its items or none), and the archive deleted.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

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

// Installs body, fetched as name, into folder (the installation folder, with its
// separator). The file is saved as folder + name (hidden where the system has the
// attribute) through a temporary file, so a file it replaces stays whole until
// then. A name ending in "zip" (any case) is then unpacked into the folder that
// holds it, in one transaction, and deleted; any other file is kept with normal
// attributes. onStage is told of each stage as it begins. An archive whose items
// do not fit the free space, that cannot be unpacked whole, or with an item whose
// place is refused (see CheckPlace) changes nothing.
InstallOutcome InstallFile(const std::string& folder, const std::string& name,
                           std::string_view body, const std::function<void(InstallStage)>& onStage);

// Installs the items of the archive archiveName from its delta (see
// archive/delta.h) as InstallFile would unpack the archive: each item rebuilt
// from the folder's file of the same name, taken whole, or left as it is, in one
// transaction. DELTA_UNUSABLE, with nothing changed, when a base is not the file
// the delta names (the player changed it) or an item does not rebuild right.
InstallOutcome InstallFromDelta(const std::string& folder, const std::string& archiveName,
                                std::string_view delta,
                                const std::function<void(InstallStage)>& onStage);

// Puts back the files at paths ('/' separated, relative to folder) from the
// fetched file name: the file itself when it is not an archive, else those items
// of the archive alone, in one transaction; nothing else in the folder is written.
// NOT_UNPACKED, with nothing changed, when the archive lacks one of them.
InstallOutcome RestoreFiles(const std::string& folder, const std::string& name,
                            std::string_view body, const std::set<std::string>& paths);

}  // namespace corvana
