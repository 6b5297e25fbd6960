// Files and folders.
#pragma once

#include <cstdint>

namespace corvana {

// Creates or replaces the file at pszPath with exactly dwSize bytes of pData;
// bHidden gives it the hidden attribute where the system has one. False when
// the file could not be created or written whole.
bool WriteWholeFile(const char* pszPath, const char* pData, uint32_t dwSize, bool bHidden);

}  // namespace corvana
