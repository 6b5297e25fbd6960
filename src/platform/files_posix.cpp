#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace corvana {

namespace {

bool WriteAll(int fd, const char* pData, uint32_t dwSize) {
    for (uint32_t dwDone = 0; dwDone < dwSize;) {
        const ssize_t nWritten = write(fd, pData + dwDone, dwSize - dwDone);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) return false;
        dwDone += static_cast<uint32_t>(nWritten);
    }
    return true;
}

}  // namespace

std::string SystemErrorText(unsigned long dwCode, const char*) {
    return std::strerror(static_cast<int>(dwCode));
}

bool NoteFileError(const std::string& path) {
    return NoteFileError(path, SystemErrorText(static_cast<unsigned long>(errno)));
}

bool WriteWholeFile(const char* pszPath, const char* pData, uint32_t dwSize, bool /*bHidden*/) {
    const int fd = open(pszPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return NoteFileError(pszPath);
    const bool bOk = WriteAll(fd, pData, dwSize) || NoteFileError(pszPath);
    return (close(fd) == 0 || NoteFileError(pszPath)) && bOk;
}

PathKind GetPathKind(const char* pszPath) {
    struct stat info {};
    if (stat(pszPath, &info) != 0) return PathKind::NONE;
    return S_ISDIR(info.st_mode) ? PathKind::FOLDER : PathKind::FILE;
}

bool CreateFolder(const char* pszPath) {
    if (mkdir(pszPath, 0755) == 0) return true;
    return errno == EEXIST ? false : NoteFileError(pszPath);
}

bool DeleteOneFile(const char* pszPath) { return unlink(pszPath) == 0; }

bool SetNormalAttributes(const char* pszPath) { return access(pszPath, F_OK) == 0; }

void SetHiddenAttribute(const char*) {}

bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate) {
    std::tm local{};
    local.tm_year = static_cast<int>((dwDosDate >> 25) & 0x7F) + 80;
    local.tm_mon = static_cast<int>((dwDosDate >> 21) & 0x0F) - 1;
    local.tm_mday = static_cast<int>((dwDosDate >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((dwDosDate >> 11) & 0x1F);
    local.tm_min = static_cast<int>((dwDosDate >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(dwDosDate & 0x1F) * 2;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    if (when == static_cast<std::time_t>(-1)) return false;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    return utimensat(AT_FDCWD, pszPath, times, 0) == 0;
}

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Create(const char* pszTarget, const char* pszTempFolder) {
    Discard();
    struct stat info {};
    if (stat(pszTarget, &info) == 0) {
        // A folder is not replaced by a file, nor is a read-only file.
        if (S_ISDIR(info.st_mode)) return NoteFileError(pszTarget, "a folder is in the way");
        if ((info.st_mode & 0222) == 0) return NoteFileError(pszTarget, "the file is read-only");
    }
    m_strTarget = pszTarget;
    m_strTemp = pszTempFolder != nullptr ? std::string(pszTempFolder) + "/partXXXXXX"
                                         : m_strTarget + ".partXXXXXX";
    const int fd = mkstemp(m_strTemp.data());
    if (fd < 0) {
        NoteFileError(m_strTemp);
        m_strTemp.clear();
        return false;
    }
    fchmod(fd, 0644);
    m_hFile = fd;
    m_bOpen = true;
    return true;
}

bool ReplacementFile::Write(const char* pData, uint32_t dwSize) {
    return m_bOpen &&
           (WriteAll(static_cast<int>(m_hFile), pData, dwSize) || NoteFileError(m_strTarget));
}

bool ReplacementFile::Finish(bool bFlushLater) {
    if (!m_bOpen) return false;
    const int fd = static_cast<int>(m_hFile);
    // Later: write-back starts now, and FlushFileSystem waits for it once.
    const bool bSynced =
        bFlushLater ? sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 : fdatasync(fd) == 0;
    m_bOpen = false;
    return (close(fd) == 0 && bSynced) || NoteFileError(m_strTarget);
}

std::string ReplacementFile::Release() {
    std::string temp;
    if (!m_bOpen) temp.swap(m_strTemp);
    return temp;
}

bool ReplacementFile::Commit() {
    if (m_strTemp.empty() || m_bOpen) return false;
    if (!MoveReplacing(m_strTemp.c_str(), m_strTarget.c_str())) return false;
    m_strTemp.clear();
    return true;
}

void ReplacementFile::Discard() {
    if (m_bOpen) close(static_cast<int>(m_hFile));
    m_bOpen = false;
    if (!m_strTemp.empty()) unlink(m_strTemp.c_str());
    m_strTemp.clear();
}

bool MoveReplacing(const char* pszFrom, const char* pszTo) {
    return rename(pszFrom, pszTo) == 0 || NoteFileError(pszTo);
}

bool FlushFileSystem(const char* pszPath) {
    const int fd = open(pszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return NoteFileError(pszPath);
    const bool bSynced = syncfs(fd) == 0 || NoteFileError(pszPath);
    close(fd);
    return bSynced;
}

bool FlushFolder(const char* pszPath) {
    const int fd = open(pszPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return NoteFileError(pszPath);
    const bool bSynced = fsync(fd) == 0 || NoteFileError(pszPath);
    close(fd);
    return bSynced;
}

uint64_t FreeSpace(const char* pszFolder) {
    struct statvfs info {};
    if (statvfs(pszFolder, &info) != 0) return 0;
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

std::vector<std::string> ListFolder(const char* pszFolder) {
    std::vector<std::string> names;
    DIR* pDir = opendir(pszFolder);
    if (pDir == nullptr) return names;
    while (const dirent* pEntry = readdir(pDir)) {
        const std::string_view name = pEntry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    closedir(pDir);
    return names;
}

namespace {

// Deepest folder nesting RemoveTree descends into; a deeper tree is left as it is.
constexpr int MAX_REMOVE_DEPTH = 64;

// Removes the entry name of the open folder parentFd: a link or file itself, a
// folder (opened without following a link) after everything in it.
bool RemoveEntryAt(int parentFd, const char* pszName, int nDepth) {
    if (unlinkat(parentFd, pszName, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR || nDepth >= MAX_REMOVE_DEPTH) return false;
    const int fd = openat(parentFd, pszName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* pDir = fdopendir(fd);
    if (pDir == nullptr) {
        close(fd);
        return false;
    }
    // The names are gathered first: removing entries while the folder is read
    // may skip some.
    std::vector<std::string> names;
    while (const dirent* pEntry = readdir(pDir)) {
        const std::string_view name = pEntry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    bool bAll = true;
    for (const std::string& name : names) {
        bAll = RemoveEntryAt(dirfd(pDir), name.c_str(), nDepth + 1) && bAll;
    }
    closedir(pDir);
    return (unlinkat(parentFd, pszName, AT_REMOVEDIR) == 0 || errno == ENOENT) && bAll;
}

}  // namespace

EntryKind GetEntryKind(const char* pszPath) {
    struct stat info {};
    if (lstat(pszPath, &info) != 0) return EntryKind::NONE;
    if (S_ISLNK(info.st_mode)) return EntryKind::LINK;
    if (S_ISDIR(info.st_mode)) return EntryKind::FOLDER;
    return S_ISREG(info.st_mode) ? EntryKind::FILE : EntryKind::OTHER;
}

bool IsLinkOfTrustedOwner(const char* pszPath) {
    struct stat info {};
    return lstat(pszPath, &info) == 0 && S_ISLNK(info.st_mode) &&
           (info.st_uid == geteuid() || info.st_uid == 0);
}

bool RemoveTree(const char* pszPath) { return RemoveEntryAt(AT_FDCWD, pszPath, 0); }

std::optional<std::string> ReadSmallFile(const char* pszPath, std::size_t nLimit) {
    // O_NONBLOCK: a pipe planted under the name never holds the open.
    const int fd = open(pszPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> data;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) <= nLimit) {
        std::string text(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t nDone = 0;
        while (nDone < text.size()) {
            const ssize_t nRead = read(fd, text.data() + nDone, text.size() - nDone);
            if (nRead < 0 && errno == EINTR) continue;
            if (nRead <= 0) break;
            nDone += static_cast<std::size_t>(nRead);
        }
        if (nDone == text.size()) data = std::move(text);
    }
    close(fd);
    return data;
}

void ApplyStoredAttributes(const char* pszPath, uint32_t dwVersionMadeBy,
                           uint32_t dwExternalAttributes) {
    constexpr uint32_t UNIX_SYSTEM = 3;
    if ((dwVersionMadeBy >> 8) != UNIX_SYSTEM) return;
    const mode_t executeBits = (dwExternalAttributes >> 16) & 0111;
    if (executeBits != 0) chmod(pszPath, 0644 | executeBits);
}

}  // namespace corvana
