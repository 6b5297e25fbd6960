// What the POSIX file code shares between its path-based functions and the
// folder handle: each operation on an entry of an open folder (dirFd, or
// AT_FDCWD for a path).
#pragma once

#ifdef _WIN32
#error "files_posix.h is for the POSIX build only"
#endif

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

// Writes the whole buffer, retrying interrupted writes; false on failure.
bool WriteAll(int fd, const char* pData, std::size_t nSize);
// Removes the entry of an open folder without following a link anywhere: a link
// or a file itself, a folder after everything in it (down to a fixed depth).
bool RemoveEntryAt(int parentFd, const char* pszName, int nDepth);
// shown names the file in a failure.
Expected<std::string> ReadSmallFileAt(int dirFd, const char* pszName, std::size_t nLimit,
                                      const std::string& shown);
bool ReadInBlocksAt(int dirFd, const char* pszName, uint64_t nSize, std::string& buffer,
                    const std::function<void(std::string_view)>& onBlock);
// An MS-DOS date and time (local time, date in the high 16 bits) as a time_t.
std::optional<std::time_t> TimeFromDos(uint32_t dwDosDate);
bool SetFileTimeFromDosAt(int dirFd, const char* pszName, uint32_t dwDosDate, int nFlags);
// The execute bits of an archive item's Unix mode (made on a Unix system); 0 otherwise.
mode_t StoredExecuteBits(uint32_t dwVersionMadeBy, uint32_t dwExternalAttributes);

}  // namespace corvana
