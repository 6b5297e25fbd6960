#include <windows.h>

#include <aclapi.h>

#include "platform/files.h"

namespace corvana {

namespace {

HANDLE AsHandle(intptr_t hFile) { return reinterpret_cast<HANDLE>(hFile); }

constexpr int REPLACE_ATTEMPTS = 10;  // a target another program holds open
constexpr DWORD REPLACE_PAUSE_MS = 50;

}  // namespace

std::string SystemErrorText(unsigned long dwCode, const char* pszModule) {
    DWORD dwFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (pszModule != nullptr) dwFlags |= FORMAT_MESSAGE_FROM_HMODULE;
    char szText[512];
    DWORD dwLength =
        FormatMessageA(dwFlags, pszModule != nullptr ? GetModuleHandleA(pszModule) : nullptr,
                       dwCode, 0, szText, sizeof szText, nullptr);
    while (dwLength > 0 && (szText[dwLength - 1] == '\r' || szText[dwLength - 1] == '\n' ||
                            szText[dwLength - 1] == ' ' || szText[dwLength - 1] == '.')) {
        --dwLength;
    }
    return std::string(szText, dwLength);
}

Failure SystemFailure(const std::string& what) {
    const DWORD dwError = GetLastError();
    const std::string text = SystemErrorText(dwError);
    return {what, !text.empty() ? text : "system error " + std::to_string(dwError)};
}

PathKind GetPathKind(const char* pszPath) {
    const DWORD dwAttributes = GetFileAttributesA(pszPath);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return PathKind::NONE;
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::FOLDER : PathKind::FILE;
}

Result CreateFolder(const char* pszPath, bool /*bPrivate*/) {
    if (CreateDirectoryA(pszPath, nullptr)) return {};
    return SystemFailure(pszPath);
}

bool DeleteOneFile(const char* pszPath) { return DeleteFileA(pszPath) != FALSE; }

bool SetNormalAttributes(const char* pszPath) {
    return SetFileAttributesA(pszPath, FILE_ATTRIBUTE_NORMAL) != FALSE;
}

void SetHiddenAttribute(const char* pszPath) { SetFileAttributesA(pszPath, FILE_ATTRIBUTE_HIDDEN); }

bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate) {
    HANDLE hFile = CreateFileA(pszPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    FILETIME created, accessed, written, local, utc;
    BOOL bOk = GetFileTime(hFile, &created, &accessed, &written) &&
               DosDateTimeToFileTime(HIWORD(dwDosDate), LOWORD(dwDosDate), &local) &&
               LocalFileTimeToFileTime(&local, &utc) && SetFileTime(hFile, &utc, &accessed, &utc);
    CloseHandle(hFile);
    return bOk != FALSE;
}

ReplacementFile::~ReplacementFile() { Discard(); }

Result ReplacementFile::Create(const char* pszTarget, const char* pszTempFolder) {
    Discard();
    const DWORD dwAttributes = GetFileAttributesA(pszTarget);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return Failure{pszTarget, "a folder is in the way"};
    }
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY)) {
        return Failure{pszTarget, "the file is read-only"};
    }
    m_strTarget = pszTarget;
    for (unsigned nSuffix = GetCurrentProcessId() & 0xFFFF, nTry = 0; nTry < 100; ++nTry) {
        std::string temp =
            (pszTempFolder != nullptr ? std::string(pszTempFolder) + "\\" : m_strTarget + ".") +
            "part" + std::to_string(nSuffix + nTry);
        HANDLE hFile = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE) {
            m_strTemp = std::move(temp);
            m_hFile = reinterpret_cast<intptr_t>(hFile);
            m_bOpen = true;
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return SystemFailure(temp);
    }
    return Failure{m_strTarget, "no free temporary name"};
}

Result ReplacementFile::Write(const char* pData, uint32_t dwSize) {
    if (!m_bOpen) return Failure{m_strTarget, "the file is not open"};
    DWORD dwWritten = 0;
    if (!WriteFile(AsHandle(m_hFile), pData, dwSize, &dwWritten, nullptr) || dwWritten != dwSize) {
        return SystemFailure(m_strTarget);
    }
    return {};
}

Result ReplacementFile::Finish(bool /*bFlushLater*/) {
    if (!m_bOpen) return Failure{m_strTarget, "the file is not open"};
    const BOOL bFlushed = FlushFileBuffers(AsHandle(m_hFile));
    m_bOpen = false;
    if (!CloseHandle(AsHandle(m_hFile)) || !bFlushed) return SystemFailure(m_strTarget);
    return {};
}

std::string ReplacementFile::Release() {
    std::string temp;
    if (!m_bOpen) temp.swap(m_strTemp);
    return temp;
}

Result MoveReplacing(const char* pszFrom, const char* pszTo) {
    for (int nAttempt = 0; nAttempt < REPLACE_ATTEMPTS; ++nAttempt) {
        if (MoveFileExA(pszFrom, pszTo, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return {};
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION && GetLastError() != ERROR_LOCK_VIOLATION &&
            GetLastError() != ERROR_ACCESS_DENIED) {
            break;
        }
        Sleep(REPLACE_PAUSE_MS);
    }
    return SystemFailure(pszTo);
}

Result FlushFileSystem(const char*) { return {}; }  // every file was flushed as it closed

Result FlushFolder(const char*) { return {}; }  // a move with write-through is durable

uint64_t FreeSpace(const char* pszFolder) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(pszFolder, &available, nullptr, nullptr)) return 0;
    return available.QuadPart;
}

FileLock::~FileLock() {
    if (m_hFile != -1) CloseHandle(AsHandle(m_hFile));
}

Expected<FileLock> FileLock::Take(const std::string& path, bool bWait) {
    HANDLE hFile =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return SystemFailure(path);
    OVERLAPPED whole{};
    if (!LockFileEx(hFile, LOCKFILE_EXCLUSIVE_LOCK | (bWait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0,
                    MAXDWORD, MAXDWORD, &whole)) {
        const bool bHeld = GetLastError() == ERROR_LOCK_VIOLATION;
        Failure failure = bHeld ? Failure{path, HELD} : SystemFailure(path);
        CloseHandle(hFile);
        return failure;
    }
    FileLock lock;
    lock.m_hFile = reinterpret_cast<intptr_t>(hFile);
    return lock;
}

std::vector<std::string> ListFolder(const char* pszFolder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA((std::string(pszFolder) + "\\*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(hFind, &found));
    FindClose(hFind);
    return names;
}

namespace {

constexpr int MAX_REMOVE_DEPTH = 64;  // a deeper tree is left as it is

bool RemoveTreeAt(const std::string& path, int nDepth) {
    const DWORD dwAttributes = GetFileAttributesA(path.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    }
    if (dwAttributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesA(path.c_str(), dwAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileA(path.c_str()) != FALSE;
    // A junction or a link to a folder is removed itself, never what it leads to
    // (a link that the system keeps as a file is deleted like one).
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return RemoveDirectoryA(path.c_str()) || DeleteFileA(path.c_str());
    }
    if (nDepth >= MAX_REMOVE_DEPTH) return false;
    bool bAll = true;
    const std::string prefix = path + "\\";
    for (const std::string& name : ListFolder(path.c_str())) {
        bAll = RemoveTreeAt(prefix + name, nDepth + 1) && bAll;
    }
    return RemoveDirectoryA(path.c_str()) && bAll;
}

}  // namespace

// The owner of a file or folder as it is, a reparse point not followed.
bool IsOwnerTrusted(HANDLE hFile) {
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (GetSecurityInfo(hFile, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, nullptr,
                        nullptr, nullptr, &pDescriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool bTrusted = IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid) ||
                    IsWellKnownSid(pOwner, WinLocalSystemSid);
    HANDLE hToken = nullptr;
    if (!bTrusted && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
        alignas(TOKEN_USER) char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD dwSize = 0;
        if (GetTokenInformation(hToken, TokenUser, buffer, sizeof buffer, &dwSize)) {
            bTrusted = EqualSid(pOwner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
        }
        CloseHandle(hToken);
    }
    LocalFree(pDescriptor);
    return bTrusted;
}

EntryKind GetEntryKind(const char* pszPath) {
    const DWORD dwAttributes = GetFileAttributesA(pszPath);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return EntryKind::NONE;
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::LINK;
    if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::FOLDER;
    return (dwAttributes & FILE_ATTRIBUTE_DEVICE) ? EntryKind::OTHER : EntryKind::FILE;
}

bool IsLinkOfTrustedOwner(const char* pszPath) {
    if (GetEntryKind(pszPath) != EntryKind::LINK) return false;
    HANDLE hLink = CreateFileA(pszPath, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hLink == INVALID_HANDLE_VALUE) return false;
    const bool bTrusted = IsOwnerTrusted(hLink);
    CloseHandle(hLink);
    return bTrusted;
}

bool RemoveTree(const char* pszPath) { return RemoveTreeAt(pszPath, 0); }

Expected<std::string> ReadSmallFile(const char* pszPath, std::size_t nLimit) {
    switch (GetEntryKind(pszPath)) {
        case EntryKind::FILE:
            break;
        case EntryKind::NONE:
            return SystemFailure(pszPath);
        case EntryKind::LINK:
            return Failure{pszPath, "a link, not a file"};
        default:
            return Failure{pszPath, "not a plain file"};
    }
    HANDLE hFile = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return SystemFailure(pszPath);
    Expected<std::string> data = Failure{pszPath, "not a plain file"};
    LARGE_INTEGER size{};
    if (GetFileType(hFile) == FILE_TYPE_DISK && GetFileSizeEx(hFile, &size)) {
        if (static_cast<uint64_t>(size.QuadPart) > nLimit) {
            data = Failure{pszPath, "larger than " + std::to_string(nLimit) + " bytes"};
        } else {
            std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
            DWORD dwRead = 0;
            data = text.empty() || (ReadFile(hFile, text.data(), static_cast<DWORD>(text.size()),
                                             &dwRead, nullptr) &&
                                    dwRead == text.size())
                       ? Expected<std::string>(std::move(text))
                       : Failure{pszPath, "it could not be read whole"};
        }
    }
    CloseHandle(hFile);
    return data;
}

bool ReadInBlocks(const char* pszPath, uint64_t nSize, std::string& buffer,
                  const std::function<void(std::string_view)>& onBlock) {
    if (GetEntryKind(pszPath) != EntryKind::FILE) return false;
    HANDLE hFile = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    uint64_t nDone = 0;
    bool bRight = GetFileType(hFile) == FILE_TYPE_DISK && GetFileSizeEx(hFile, &size) &&
                  static_cast<uint64_t>(size.QuadPart) == nSize;
    while (bRight && nDone < nSize) {
        DWORD dwRead = 0;
        bRight =
            ReadFile(hFile, buffer.data(), static_cast<DWORD>(buffer.size()), &dwRead, nullptr) &&
            dwRead > 0;
        if (bRight) onBlock(std::string_view(buffer.data(), dwRead));
        nDone += dwRead;
    }
    CloseHandle(hFile);
    return bRight && nDone == nSize;
}

Result ReplacementFile::Commit() {
    if (m_strTemp.empty() || m_bOpen) return Failure{m_strTarget, "the file is not finished"};
    if (Result moved = MoveReplacing(m_strTemp.c_str(), m_strTarget.c_str()); !moved) return moved;
    m_strTemp.clear();
    return {};
}

void ReplacementFile::Discard() {
    if (m_bOpen) CloseHandle(AsHandle(m_hFile));
    m_bOpen = false;
    if (!m_strTemp.empty()) DeleteFileA(m_strTemp.c_str());
    m_strTemp.clear();
}

void ApplyStoredAttributes(const char*, uint32_t, uint32_t) {}

}  // namespace corvana
