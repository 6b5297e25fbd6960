#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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
#include "platform/files_posix.h"

namespace corvana {

bool WriteAll(int fd, const char* pData, std::size_t nSize) {
    for (std::size_t nDone = 0; nDone < nSize;) {
        const ssize_t nWritten = write(fd, pData + nDone, nSize - nDone);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) return false;
        nDone += static_cast<std::size_t>(nWritten);
    }
    return true;
}

std::string SystemErrorText(unsigned long dwCode, const char*) {
    return std::strerror(static_cast<int>(dwCode));
}

Failure SystemFailure(const std::string& what) {
    return {what, SystemErrorText(static_cast<unsigned long>(errno))};
}

PathKind GetPathKind(const char* pszPath) {
    struct stat info {};
    if (stat(pszPath, &info) != 0) return PathKind::NONE;
    return S_ISDIR(info.st_mode) ? PathKind::FOLDER : PathKind::FILE;
}

Result CreateFolder(const char* pszPath, bool bPrivate) {
    if (mkdir(pszPath, bPrivate ? 0700 : 0755) == 0) return {};
    return SystemFailure(pszPath);
}

bool DeleteOneFile(const char* pszPath) { return unlink(pszPath) == 0; }

bool SetNormalAttributes(const char* pszPath) { return access(pszPath, F_OK) == 0; }

void SetHiddenAttribute(const char*) {}

std::optional<std::time_t> TimeFromDos(uint32_t dwDosDate) {
    std::tm local{};
    local.tm_year = static_cast<int>((dwDosDate >> 25) & 0x7F) + 80;
    local.tm_mon = static_cast<int>((dwDosDate >> 21) & 0x0F) - 1;
    local.tm_mday = static_cast<int>((dwDosDate >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((dwDosDate >> 11) & 0x1F);
    local.tm_min = static_cast<int>((dwDosDate >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(dwDosDate & 0x1F) * 2;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    if (when == static_cast<std::time_t>(-1)) return std::nullopt;
    return when;
}

bool SetFileTimeFromDosAt(int dirFd, const char* pszName, uint32_t dwDosDate, int nFlags) {
    const std::optional<std::time_t> when = TimeFromDos(dwDosDate);
    if (!when) return false;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {*when, 0}};
    return utimensat(dirFd, pszName, times, nFlags) == 0;
}

bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate) {
    return SetFileTimeFromDosAt(AT_FDCWD, pszPath, dwDosDate, 0);
}

ReplacementFile::~ReplacementFile() { Discard(); }

Result ReplacementFile::Create(const char* pszTarget, const char* pszTempFolder) {
    Discard();
    struct stat info {};
    if (stat(pszTarget, &info) == 0) {
        // A folder is not replaced by a file, nor is a read-only file.
        if (S_ISDIR(info.st_mode)) return Failure{pszTarget, "a folder is in the way"};
        if ((info.st_mode & 0222) == 0) return Failure{pszTarget, "the file is read-only"};
    }
    m_strTarget = pszTarget;
    m_strTemp = pszTempFolder != nullptr ? std::string(pszTempFolder) + "/partXXXXXX"
                                         : m_strTarget + ".partXXXXXX";
    const int fd = mkstemp(m_strTemp.data());
    if (fd < 0) {
        const Failure failure = SystemFailure(m_strTemp);
        m_strTemp.clear();
        return failure;
    }
    fchmod(fd, 0644);
    m_hFile = fd;
    m_bOpen = true;
    return {};
}

Result ReplacementFile::Write(const char* pData, uint32_t dwSize) {
    if (!m_bOpen) return Failure{m_strTarget, "the file is not open"};
    if (!WriteAll(static_cast<int>(m_hFile), pData, dwSize)) return SystemFailure(m_strTarget);
    return {};
}

Result ReplacementFile::Finish(bool bFlushLater) {
    if (!m_bOpen) return Failure{m_strTarget, "the file is not open"};
    const int fd = static_cast<int>(m_hFile);
    // Later: write-back starts now, and FlushFileSystem waits for it once.
    const bool bSynced =
        bFlushLater ? sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 : fdatasync(fd) == 0;
    m_bOpen = false;
    if (close(fd) != 0 || !bSynced) return SystemFailure(m_strTarget);
    return {};
}

std::string ReplacementFile::Release() {
    std::string temp;
    if (!m_bOpen) temp.swap(m_strTemp);
    return temp;
}

Result ReplacementFile::Commit() {
    if (m_strTemp.empty() || m_bOpen) return Failure{m_strTarget, "the file is not finished"};
    if (Result moved = MoveReplacing(m_strTemp.c_str(), m_strTarget.c_str()); !moved) return moved;
    m_strTemp.clear();
    return {};
}

void ReplacementFile::Discard() {
    if (m_bOpen) close(static_cast<int>(m_hFile));
    m_bOpen = false;
    if (!m_strTemp.empty()) unlink(m_strTemp.c_str());
    m_strTemp.clear();
}

Result MoveReplacing(const char* pszFrom, const char* pszTo) {
    if (rename(pszFrom, pszTo) != 0) return SystemFailure(pszTo);
    return {};
}

namespace {

// Opens path with flags and makes it durable with sync (syncfs or fsync).
Result SyncPath(const char* pszPath, int nFlags, int (*sync)(int)) {
    const int fd = open(pszPath, nFlags | O_CLOEXEC);
    if (fd < 0) return SystemFailure(pszPath);
    Result synced = sync(fd) == 0 ? Result() : SystemFailure(pszPath);
    close(fd);
    return synced;
}

}  // namespace

Result FlushFileSystem(const char* pszPath) { return SyncPath(pszPath, O_RDONLY, syncfs); }

Result FlushFolder(const char* pszPath) { return SyncPath(pszPath, O_RDONLY | O_DIRECTORY, fsync); }

uint64_t FreeSpace(const char* pszFolder) {
    struct statvfs info {};
    if (statvfs(pszFolder, &info) != 0) return 0;
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

FileLock::~FileLock() {
    if (m_hFile >= 0) close(static_cast<int>(m_hFile));
}

Expected<FileLock> FileLock::Take(const std::string& path, bool bWait) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return SystemFailure(path);
    while (flock(fd, LOCK_EX | (bWait ? 0 : LOCK_NB)) != 0) {
        if (errno == EINTR) continue;
        const bool bHeld = errno == EWOULDBLOCK;
        Failure failure = bHeld ? Failure{path, HELD} : SystemFailure(path);
        close(fd);
        return failure;
    }
    FileLock lock;
    lock.m_hFile = fd;
    return lock;
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

}  // namespace

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

Expected<std::string> ReadSmallFile(const char* pszPath, std::size_t nLimit) {
    return ReadSmallFileAt(AT_FDCWD, pszPath, nLimit, pszPath);
}

Expected<std::string> ReadSmallFileAt(int dirFd, const char* pszName, std::size_t nLimit,
                                      const std::string& shown) {
    // O_NONBLOCK: a pipe planted under the name never holds the open.
    const int fd = openat(dirFd, pszName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? Failure{shown, "a link, not a file"} : SystemFailure(shown);
    struct stat info {};
    Expected<std::string> data = Failure{shown, "not a plain file"};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) > nLimit) {
        data = Failure{shown, "larger than " + std::to_string(nLimit) + " bytes"};
    } else if (S_ISREG(info.st_mode)) {
        std::string text(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t nDone = 0;
        while (nDone < text.size()) {
            const ssize_t nRead = read(fd, text.data() + nDone, text.size() - nDone);
            if (nRead < 0 && errno == EINTR) continue;
            if (nRead <= 0) break;
            nDone += static_cast<std::size_t>(nRead);
        }
        data = nDone == text.size() ? Expected<std::string>(std::move(text))
                                    : Failure{shown, "it could not be read whole"};
    }
    close(fd);
    return data;
}

bool ReadInBlocks(const char* pszPath, uint64_t nSize, std::string& buffer,
                  const std::function<void(std::string_view)>& onBlock) {
    return ReadInBlocksAt(AT_FDCWD, pszPath, nSize, buffer, onBlock);
}

bool ReadInBlocksAt(int dirFd, const char* pszName, uint64_t nSize, std::string& buffer,
                    const std::function<void(std::string_view)>& onBlock) {
    const int fd = openat(dirFd, pszName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    uint64_t nDone = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) == nSize) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        while (nDone < nSize) {
            const ssize_t nRead = read(fd, buffer.data(), buffer.size());
            if (nRead < 0 && errno == EINTR) continue;
            if (nRead <= 0) break;
            onBlock(std::string_view(buffer.data(), static_cast<std::size_t>(nRead)));
            nDone += static_cast<uint64_t>(nRead);
        }
    }
    close(fd);
    return nDone == nSize && S_ISREG(info.st_mode);
}

mode_t StoredExecuteBits(uint32_t dwVersionMadeBy, uint32_t dwExternalAttributes) {
    constexpr uint32_t UNIX_SYSTEM = 3;
    if ((dwVersionMadeBy >> 8) != UNIX_SYSTEM) return 0;
    return (dwExternalAttributes >> 16) & 0111;
}

void ApplyStoredAttributes(const char* pszPath, uint32_t dwVersionMadeBy,
                           uint32_t dwExternalAttributes) {
    const mode_t executeBits = StoredExecuteBits(dwVersionMadeBy, dwExternalAttributes);
    if (executeBits != 0) chmod(pszPath, 0644 | executeBits);
}

}  // namespace corvana
