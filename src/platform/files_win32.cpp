#include <windows.h>

#include "platform/files.h"

namespace corvana {

bool WriteWholeFile(const char* pszPath, const char* pData, uint32_t dwSize, bool bHidden) {
    const DWORD dwAttributes =
        bHidden ? FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_NORMAL;
    HANDLE hFile =
        CreateFileA(pszPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, dwAttributes, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    DWORD dwWritten = 0;
    const BOOL bWritten = WriteFile(hFile, pData, dwSize, &dwWritten, nullptr);
    const BOOL bClosed = CloseHandle(hFile);
    // Not every system applies the attributes when an existing file is replaced.
    if (bHidden) SetFileAttributesA(pszPath, FILE_ATTRIBUTE_HIDDEN);
    return bWritten && bClosed && dwWritten == dwSize;
}

}  // namespace corvana
