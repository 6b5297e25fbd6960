// The installation folder is shared with whatever else may write it: the names the
// updater keeps there for itself, the check that a path below the folder stays
// inside it, and the record of the newest signed set accepted there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/failure.h"
#include "platform/folder.h"

namespace corvana {

// Where an archive's items wait until they are moved over their targets.
inline constexpr const char* STAGING_FOLDER_NAME = ".corvana-staging";
// Where bodies too large to hold are fetched to, kept until they are installed
// so that a later run can go on where an interrupted one stopped.
inline constexpr const char* DOWNLOADS_FOLDER_NAME = ".corvana-downloads";
// The newest signature timestamp accepted for the folder (rollback protection).
inline constexpr const char* ACCEPTED_RECORD_NAME = "corvana-signed-set.txt";

// True when relative (either separator) is one of the names above or lies below
// one, in any letter case (on Windows also with trailing dots or blanks, which
// the system drops): the record and the downloads folder at the top of the
// folder only, a staging folder at any depth (one may lie at the top of a folder on another disk).
bool IsReservedName(std::string_view relative);

// Why relative (either separator) may not be written below root: a name that
// could leave the folder, a reserved name, or a folder on the way that is not a
// folder or is a link made by another user than the running one (or the system's
// administrators). Folders that are missing are made by the install. The last
// component is never followed: a file put there replaces a link itself.
Result CheckPlace(const FolderHandle& root, std::string_view relative);

// A '/'-separated path with the system's separators.
std::string NativePath(std::string path);

// The accepted timestamp of the folder: 0 when there is no record; a failure
// when a record is there that cannot be read as one (the caller then trusts no set).
Expected<uint64_t> ReadAcceptedTimestamp(const FolderHandle& root);
// Stores it durably (written whole through the staging folder, flushed, the
// folder flushed).
Result StoreAcceptedTimestamp(const FolderHandle& root, uint64_t nTimestamp);

}  // namespace corvana
