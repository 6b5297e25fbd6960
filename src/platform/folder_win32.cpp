#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/folder.h"

namespace corvana {

bool IsOwnerTrusted(HANDLE hFile);  // files_win32.cpp

namespace {

HANDLE AsHandle(intptr_t hObject) { return reinterpret_cast<HANDLE>(hObject); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The handles a folder was reached through (its own last), closed with the last
// folder that holds them.
struct Chain {
    std::shared_ptr<Chain> pAbove;
    std::vector<HANDLE> handles;

    Chain() = default;
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    ~Chain() {
        for (HANDLE hFolder : handles) CloseHandle(hFolder);
    }
};

// A folder's handle, held without delete sharing: while it is open the folder
// can be neither renamed nor replaced. bLink: the entry itself (a link is not
// followed).
HANDLE OpenFolder(const std::string& path, bool bEntryItself) {
    return CreateFileA(
        path.c_str(), FILE_LIST_DIRECTORY | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (bEntryItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
}

DWORD AttributesOf(HANDLE hFolder) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(hFolder, &info) ? info.dwFileAttributes : 0;
}

}  // namespace

FolderHandle::~FolderHandle() { Close(); }

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : m_strPath(std::move(other.m_strPath)),
      m_hFolder(std::exchange(other.m_hFolder, -1)),
      m_pChain(std::move(other.m_pChain)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        Close();
        m_strPath = std::move(other.m_strPath);
        m_hFolder = std::exchange(other.m_hFolder, -1);
        m_pChain = std::move(other.m_pChain);
    }
    return *this;
}

void FolderHandle::Close() {
    m_pChain.reset();  // the handles, its own among them
    m_hFolder = -1;
}

bool FolderHandle::IsOpen() const { return m_hFolder != -1; }

Expected<FolderHandle> FolderHandle::Open(const std::string& path) {
    const HANDLE hFolder = OpenFolder(path, false);
    if (hFolder == INVALID_HANDLE_VALUE) return SystemFailure(path);
    if ((AttributesOf(hFolder) & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(hFolder);
        return Failure{path, "not a folder"};
    }
    auto pChain = std::make_shared<Chain>();
    pChain->handles.push_back(hFolder);
    std::string shown = path;
    if (shown.empty() || !IsSeparator(shown.back())) shown += '\\';
    return FolderHandle(std::move(shown), reinterpret_cast<intptr_t>(hFolder), std::move(pChain));
}

Result FolderHandle::CheckBelow(std::string_view relative) const {
    // The part that is there is opened as OpenBelow opens it; the rest is made later.
    std::size_t nThere = 0;
    for (std::size_t nStart = 0; nStart < relative.size();) {
        std::size_t nEnd = nStart;
        while (nEnd < relative.size() && !IsSeparator(relative[nEnd])) ++nEnd;
        const std::string reached = m_strPath + std::string(relative.substr(0, nEnd));
        if (GetFileAttributesA(reached.c_str()) == INVALID_FILE_ATTRIBUTES) break;
        nThere = nEnd;
        nStart = nEnd + 1;
    }
    const Expected<FolderHandle> reached = OpenBelow(relative.substr(0, nThere), false);
    if (!reached) return reached.GetFailure();
    return {};
}

Expected<FolderHandle> FolderHandle::OpenBelow(std::string_view relative, bool bMake) const {
    auto pAbove = std::static_pointer_cast<Chain>(m_pChain);
    auto pChain = std::make_shared<Chain>();
    pChain->pAbove = pAbove;
    HANDLE hLast = AsHandle(m_hFolder);
    std::string path = m_strPath;
    for (std::size_t nStart = 0; nStart < relative.size();) {
        std::size_t nEnd = nStart;
        while (nEnd < relative.size() && !IsSeparator(relative[nEnd])) ++nEnd;
        const std::string name(relative.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
        if (name.empty() || name == ".") continue;
        path += name;
        if (name == "..") return Failure{path, "a name that leaves the folder"};
        if (bMake && GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
            !CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return SystemFailure(path);
        }
        // The entry itself is held first, then looked at: once held it stays
        // what it is, whatever another user does to the folder around it.
        const HANDLE hEntry = OpenFolder(path, true);
        if (hEntry == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_DIRECTORY) return Failure{path, "not a folder"};
            return SystemFailure(path);
        }
        pChain->handles.push_back(hEntry);
        // Wine shows a link as a reparse point only by its path's attributes.
        const DWORD dwPathAttributes = GetFileAttributesA(path.c_str());
        const DWORD dwAttributes =
            AttributesOf(hEntry) |
            (dwPathAttributes != INVALID_FILE_ATTRIBUTES ? dwPathAttributes : 0);
        if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (!IsOwnerTrusted(hEntry)) {
                return Failure{path, "a link made by another user is on the way"};
            }
            hLast = OpenFolder(path, false);
            if (hLast == INVALID_HANDLE_VALUE) return SystemFailure(path);
            pChain->handles.push_back(hLast);
        } else if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return Failure{path, "not a folder"};
        } else {
            hLast = hEntry;
        }
        path += '\\';
    }
    if (pChain->handles.empty()) pChain = nullptr;
    return FolderHandle(std::move(path), reinterpret_cast<intptr_t>(hLast),
                        pChain != nullptr ? std::shared_ptr<void>(pChain) : m_pChain);
}

EntryKind FolderHandle::KindOf(const std::string& name) const {
    return GetEntryKind((m_strPath + name).c_str());
}

Result FolderHandle::CheckReplaceable(const std::string& name) const {
    const std::string path = m_strPath + name;
    const DWORD dwAttributes = GetFileAttributesA(path.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return {};
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return {};  // the link itself is replaced
    if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) return Failure{path, "a folder is in the way"};
    if (dwAttributes & FILE_ATTRIBUTE_READONLY) return Failure{path, "the file is read-only"};
    return {};
}

Expected<uint64_t> FolderHandle::FileSystemId() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(AsHandle(m_hFolder), &info)) return SystemFailure(m_strPath);
    return uint64_t{info.dwVolumeSerialNumber};
}

uint64_t FolderHandle::FreeSpace() const { return corvana::FreeSpace(m_strPath.c_str()); }

Expected<DataFile> FolderHandle::OpenDataFile(const std::string& name, bool bReadOnly) const {
    const std::string path = m_strPath + name;
    // The entry itself: a link or a junction there is refused, never followed.
    HANDLE hFile =
        CreateFileA(path.c_str(), bReadOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ, nullptr, bReadOnly ? OPEN_EXISTING : OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return SystemFailure(path);
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(hFile) != FILE_TYPE_DISK || !GetFileInformationByHandle(hFile, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(hFile);
        return Failure{path, "not a plain file"};
    }
    DataFile file;
    file.m_strPath = path;
    file.m_hFile = reinterpret_cast<intptr_t>(hFile);
    file.m_nSize = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return file;
}

Expected<NewFile> FolderHandle::CreateTemporary(const char* pszPrefix) const {
    for (unsigned nSuffix = GetCurrentProcessId() & 0xFFFF, nTry = 0; nTry < 1000; ++nTry) {
        const std::string name = pszPrefix + std::to_string(nSuffix + nTry);
        const std::string path = m_strPath + name;
        HANDLE hFile = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (hFile == INVALID_HANDLE_VALUE) return SystemFailure(path);
        NewFile file;
        file.m_strName = name;
        file.m_strPath = path;
        file.m_hFile = reinterpret_cast<intptr_t>(hFile);
        return file;
    }
    return Failure{m_strPath, "no free temporary name"};
}

Result FolderHandle::MakeFolder(const std::string& name) const {
    return CreateFolder((m_strPath + name).c_str());
}

Result FolderHandle::Rename(const std::string& name, const FolderHandle& to,
                            const std::string& toName) const {
    return MoveReplacing((m_strPath + name).c_str(), (to.m_strPath + toName).c_str());
}

bool FolderHandle::RemoveEntry(const std::string& name) const {
    const std::string path = m_strPath + name;
    const DWORD dwAttributes = GetFileAttributesA(path.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return true;
    if (dwAttributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesA(path.c_str(), dwAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A link to a folder is removed like an empty folder; a plain folder stays.
    if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
               RemoveDirectoryA(path.c_str()) != FALSE;
    }
    return DeleteFileA(path.c_str()) != FALSE;
}

bool FolderHandle::RemoveTree(const std::string& name) const {
    return corvana::RemoveTree((m_strPath + name).c_str());
}

Expected<std::string> FolderHandle::ReadSmallFile(const std::string& name,
                                                  std::size_t nLimit) const {
    return corvana::ReadSmallFile((m_strPath + name).c_str(), nLimit);
}

bool FolderHandle::ReadInBlocks(const std::string& name, uint64_t nSize, std::string& buffer,
                                const std::function<void(std::string_view)>& onBlock) const {
    return corvana::ReadInBlocks((m_strPath + name).c_str(), nSize, buffer, onBlock);
}

bool FolderHandle::SetFileTime(const std::string& name, uint32_t dwDosDate) const {
    return SetFileTimeFromDos((m_strPath + name).c_str(), dwDosDate);
}

void FolderHandle::SetHidden(const std::string& name, bool bHidden) const {
    const std::string path = m_strPath + name;
    if (bHidden) {
        SetHiddenAttribute(path.c_str());
    } else {
        SetNormalAttributes(path.c_str());
    }
}

Result FolderHandle::Flush() const { return {}; }  // a move with write-through is durable

Result FolderHandle::FlushFileSystem() const { return {}; }  // each file was flushed as it closed

NewFile::~NewFile() { Discard(); }

NewFile::NewFile(NewFile&& other) noexcept
    : m_strName(std::move(other.m_strName)),
      m_strPath(std::move(other.m_strPath)),
      m_hFile(std::exchange(other.m_hFile, -1)),
      m_hFolder(std::exchange(other.m_hFolder, -1)),
      m_bFinished(other.m_bFinished) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        Discard();
        m_strName = std::move(other.m_strName);
        m_strPath = std::move(other.m_strPath);
        m_hFile = std::exchange(other.m_hFile, -1);
        m_hFolder = std::exchange(other.m_hFolder, -1);
        m_bFinished = other.m_bFinished;
    }
    return *this;
}

Result NewFile::Write(const char* pData, std::size_t nSize) {
    if (m_hFile == -1) return Failure{m_strPath, "the file is not open"};
    while (nSize > 0) {
        const DWORD dwChunk = static_cast<DWORD>(std::min<std::size_t>(nSize, 1u << 30));
        DWORD dwWritten = 0;
        if (!WriteFile(AsHandle(m_hFile), pData, dwChunk, &dwWritten, nullptr) ||
            dwWritten != dwChunk) {
            return SystemFailure(m_strPath);
        }
        pData += dwChunk;
        nSize -= dwChunk;
    }
    return {};
}

void NewFile::SetTimeAndAttributes(uint32_t dwDosDate, uint32_t, uint32_t) {
    if (m_hFile == -1) return;
    FILETIME created, accessed, written, local, utc;
    if (GetFileTime(AsHandle(m_hFile), &created, &accessed, &written) &&
        DosDateTimeToFileTime(HIWORD(dwDosDate), LOWORD(dwDosDate), &local) &&
        LocalFileTimeToFileTime(&local, &utc)) {
        ::SetFileTime(AsHandle(m_hFile), &utc, &accessed, &utc);
    }
}

Result NewFile::Finish(bool) {
    if (m_hFile == -1) return Failure{m_strPath, "the file is not open"};
    const BOOL bFlushed = FlushFileBuffers(AsHandle(m_hFile));
    const BOOL bClosed = CloseHandle(AsHandle(m_hFile));
    m_hFile = -1;
    if (!bClosed || !bFlushed) return SystemFailure(m_strPath);
    m_bFinished = true;
    return {};
}

void NewFile::Discard() {
    if (m_hFile != -1) CloseHandle(AsHandle(m_hFile));
    m_hFile = -1;
    if (!m_bFinished && !m_strPath.empty()) DeleteFileA(m_strPath.c_str());
    m_strPath.clear();
}

void DataFile::Close() {
    if (m_hFile != -1) CloseHandle(AsHandle(m_hFile));
    m_hFile = -1;
}

namespace {

// An OVERLAPPED that places a synchronous read or write at nOffset.
OVERLAPPED At(uint64_t nOffset) {
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(nOffset);
    place.OffsetHigh = static_cast<DWORD>(nOffset >> 32);
    return place;
}

}  // namespace

Result DataFile::Append(const char* pData, std::size_t nSize) {
    if (m_hFile == -1) return Failure{m_strPath, "the file is not open"};
    while (nSize > 0) {
        const DWORD dwChunk = static_cast<DWORD>(std::min<std::size_t>(nSize, 1u << 30));
        OVERLAPPED place = At(m_nSize);
        DWORD dwWritten = 0;
        if (!WriteFile(AsHandle(m_hFile), pData, dwChunk, &dwWritten, &place) || dwWritten == 0) {
            return SystemFailure(m_strPath);
        }
        m_nSize += dwWritten;
        pData += dwWritten;
        nSize -= dwWritten;
    }
    return {};
}

Result DataFile::Truncate(uint64_t nSize) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(nSize);
    if (m_hFile == -1 || nSize > m_nSize ||
        !SetFilePointerEx(AsHandle(m_hFile), end, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(AsHandle(m_hFile))) {
        return SystemFailure(m_strPath);
    }
    m_nSize = nSize;
    return {};
}

Result DataFile::Flush() {
    if (m_hFile == -1 || !FlushFileBuffers(AsHandle(m_hFile))) return SystemFailure(m_strPath);
    return {};
}

Expected<std::size_t> DataFile::ReadAt(uint64_t nOffset, char* pBuffer, std::size_t nSize) const {
    OVERLAPPED place = At(nOffset);
    DWORD dwRead = 0;
    const DWORD dwWanted = static_cast<DWORD>(std::min<std::size_t>(nSize, 1u << 30));
    if (!ReadFile(AsHandle(m_hFile), pBuffer, dwWanted, &dwRead, &place)) {
        if (GetLastError() == ERROR_HANDLE_EOF) return std::size_t{0};
        return SystemFailure(m_strPath);
    }
    return static_cast<std::size_t>(dwRead);
}

}  // namespace corvana
