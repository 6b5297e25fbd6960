// The installation folder is shared with whatever else may write it: the names the
// updater keeps there for itself, the check that a path below the folder stays
// inside it, and the record of the newest signed set accepted there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

// Where an archive's items wait until they are moved over their targets.
inline constexpr const char* STAGING_FOLDER_NAME = ".corvana-staging";
// The newest signature timestamp accepted for the folder (rollback protection).
inline constexpr const char* ACCEPTED_RECORD_NAME = "corvana-signed-set.txt";

// True when the first component of relative (either separator) is one of the
// names above, in any letter case (on Windows also with trailing dots or blanks,
// which the system drops).
bool IsReservedName(std::string_view relative);

// Why relative (either separator) may not be written below folder (with its
// separator): a name that could leave the folder, a reserved name, or a folder
// on the way that is a link made by another user than the running one (or the
// system's administrators). The last component is never followed: a file put
// there replaces a link itself.
Result CheckPlace(const std::string& folder, std::string_view relative);

// A '/'-separated path with the system's separators.
std::string NativePath(std::string path);

// Removes whatever is at path without following it (a link, a file, a folder
// with its contents) and makes an empty folder there.
Result MakeEmptyFolder(const std::string& path);

// The accepted timestamp of folder (with its separator): 0 when there is no
// record; a failure when a record is there that cannot be read as one (the
// caller then trusts no set).
Expected<uint64_t> ReadAcceptedTimestamp(const std::string& folder);
// Stores it durably (written whole through the staging folder, flushed, the
// folder flushed).
Result StoreAcceptedTimestamp(const std::string& folder, uint64_t nTimestamp);

}  // namespace corvana
