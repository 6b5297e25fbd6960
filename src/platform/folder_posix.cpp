#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <random>

#include "platform/files_posix.h"
#include "platform/folder.h"

namespace corvana {

namespace {

int AsDescriptor(intptr_t hFolder) { return static_cast<int>(hFolder); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The folder name of parentFd (shown as shown), made first when bMake; a link
// there is followed only when its owner is trusted, through the target it held
// when its owner was checked. A descriptor, or why not.
Expected<int> OpenComponent(int parentFd, const std::string& name, bool bMake,
                            const std::string& shown) {
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        const int fd =
            openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return fd;
        const int nError = errno;
        if (nError == ENOENT && bMake) {
            // Another process may have made it meanwhile: the open is tried again.
            if (mkdirat(parentFd, name.c_str(), 0755) == 0 || errno == EEXIST) continue;
            return SystemFailure(shown);
        }
        if (nError != ELOOP && nError != ENOTDIR) {
            errno = nError;
            return SystemFailure(shown);
        }
        // Not a folder: a link, or something else. The link itself is held while
        // its owner and its target are read, so that what was checked is followed.
        const int linkFd = openat(parentFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (linkFd < 0) return SystemFailure(shown);
        struct stat info {};
        char szTarget[PATH_MAX];
        ssize_t nLength = -1;
        const bool bLink = fstat(linkFd, &info) == 0 && S_ISLNK(info.st_mode);
        const bool bTrusted = bLink && (info.st_uid == geteuid() || info.st_uid == 0);
        if (bTrusted) nLength = readlinkat(linkFd, "", szTarget, sizeof szTarget - 1);
        close(linkFd);
        if (!bLink) return Failure{shown, "not a folder"};
        if (!bTrusted) return Failure{shown, "a link made by another user is on the way"};
        if (nLength <= 0) return SystemFailure(shown);
        szTarget[nLength] = '\0';
        // The target is where the link's owner put it: the links on its way are
        // that user's choice too.
        const int targetFd = openat(szTarget[0] == '/' ? AT_FDCWD : parentFd, szTarget,
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (targetFd < 0) return SystemFailure(shown);
        return targetFd;
    }
    return Failure{shown, "it keeps changing"};
}

// A name for a temporary file that no other run picks.
std::string UniqueSuffix() {
    static std::atomic<uint32_t> s_nCounter{0};
    static const uint32_t s_nSeed = std::random_device{}();
    const uint32_t nValue = s_nSeed ^ (static_cast<uint32_t>(getpid()) << 12) ^ s_nCounter++;
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    for (uint32_t n = nValue, i = 0; i < 7; ++i, n /= 36) suffix += kDigits[n % 36];
    return suffix;
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
    if (m_hFolder >= 0) close(AsDescriptor(m_hFolder));
    m_hFolder = -1;
}

bool FolderHandle::IsOpen() const { return m_hFolder >= 0; }

Expected<FolderHandle> FolderHandle::Open(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return SystemFailure(path);
    std::string shown = path;
    if (shown.empty() || shown.back() != '/') shown += '/';
    return FolderHandle(std::move(shown), fd, nullptr);
}

Result FolderHandle::CheckBelow(std::string_view relative) const {
    // The part that is there is opened as OpenBelow opens it; the rest is made later.
    std::size_t nThere = 0;
    for (std::size_t nStart = 0; nStart < relative.size();) {
        std::size_t nEnd = nStart;
        while (nEnd < relative.size() && !IsSeparator(relative[nEnd])) ++nEnd;
        struct stat info {};
        const std::string reached(relative.substr(0, nEnd));
        if (fstatat(AsDescriptor(m_hFolder), reached.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            break;
        }
        nThere = nEnd;
        nStart = nEnd + 1;
    }
    const Expected<FolderHandle> reached = OpenBelow(relative.substr(0, nThere), false);
    if (!reached) return reached.GetFailure();
    return {};
}

Expected<FolderHandle> FolderHandle::OpenBelow(std::string_view relative, bool bMake) const {
    int fd = fcntl(AsDescriptor(m_hFolder), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return SystemFailure(m_strPath);
    std::string path = m_strPath;
    for (std::size_t nStart = 0; nStart < relative.size();) {
        std::size_t nEnd = nStart;
        while (nEnd < relative.size() && !IsSeparator(relative[nEnd])) ++nEnd;
        const std::string name(relative.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
        if (name.empty() || name == ".") continue;
        path += name;
        if (name == "..") {
            close(fd);
            return Failure{path, "a name that leaves the folder"};
        }
        Expected<int> next = OpenComponent(fd, name, bMake, path);
        close(fd);
        if (!next) return next.GetFailure();
        fd = *next;
        path += '/';
    }
    return FolderHandle(std::move(path), fd, nullptr);
}

EntryKind FolderHandle::KindOf(const std::string& name) const {
    struct stat info {};
    if (fstatat(AsDescriptor(m_hFolder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return EntryKind::NONE;
    }
    if (S_ISLNK(info.st_mode)) return EntryKind::LINK;
    if (S_ISDIR(info.st_mode)) return EntryKind::FOLDER;
    return S_ISREG(info.st_mode) ? EntryKind::FILE : EntryKind::OTHER;
}

Result FolderHandle::CheckReplaceable(const std::string& name) const {
    struct stat info {};
    if (fstatat(AsDescriptor(m_hFolder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return {};
    if (S_ISDIR(info.st_mode)) return Failure{m_strPath + name, "a folder is in the way"};
    if (S_ISREG(info.st_mode) && (info.st_mode & 0222) == 0) {
        return Failure{m_strPath + name, "the file is read-only"};
    }
    return {};
}

Expected<uint64_t> FolderHandle::FileSystemId() const {
    struct stat info {};
    if (fstat(AsDescriptor(m_hFolder), &info) != 0) return SystemFailure(m_strPath);
    return static_cast<uint64_t>(info.st_dev);
}

uint64_t FolderHandle::FreeSpace() const {
    struct statvfs info {};
    if (fstatvfs(AsDescriptor(m_hFolder), &info) != 0) return 0;
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

Expected<NewFile> FolderHandle::CreateTemporary(const char* pszPrefix) const {
    for (int nTry = 0; nTry < 100; ++nTry) {
        const std::string name = pszPrefix + UniqueSuffix();
        const int fd = openat(AsDescriptor(m_hFolder), name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return SystemFailure(m_strPath + name);
        fchmod(fd, 0644);  // whatever the process's umask
        NewFile file;
        file.m_strName = name;
        file.m_strPath = m_strPath + name;
        file.m_hFile = fd;
        file.m_hFolder = fcntl(AsDescriptor(m_hFolder), F_DUPFD_CLOEXEC, 0);
        return file;
    }
    return Failure{m_strPath, "no free temporary name"};
}

Expected<DataFile> FolderHandle::OpenDataFile(const std::string& name, bool bReadOnly) const {
    const std::string path = m_strPath + name;
    const int fd = openat(
        AsDescriptor(m_hFolder), name.c_str(),
        (bReadOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return SystemFailure(path);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return Failure{path, "not a plain file"};
    }
    fcntl(fd, F_SETFL, 0);  // blocking again: the flag only kept the open from waiting
    DataFile file;
    file.m_strPath = path;
    file.m_hFile = fd;
    file.m_nSize = static_cast<uint64_t>(info.st_size);
    return file;
}

Result FolderHandle::MakeFolder(const std::string& name) const {
    if (mkdirat(AsDescriptor(m_hFolder), name.c_str(), 0755) == 0) return {};
    return SystemFailure(m_strPath + name);
}

Result FolderHandle::Rename(const std::string& name, const FolderHandle& to,
                            const std::string& toName) const {
    if (renameat(AsDescriptor(m_hFolder), name.c_str(), AsDescriptor(to.m_hFolder),
                 toName.c_str()) != 0) {
        return SystemFailure(to.m_strPath + toName);
    }
    return {};
}

bool FolderHandle::RemoveEntry(const std::string& name) const {
    return unlinkat(AsDescriptor(m_hFolder), name.c_str(), 0) == 0 || errno == ENOENT;
}

bool FolderHandle::RemoveTree(const std::string& name) const {
    return RemoveEntryAt(AsDescriptor(m_hFolder), name.c_str(), 0);
}

Expected<std::string> FolderHandle::ReadSmallFile(const std::string& name,
                                                  std::size_t nLimit) const {
    return ReadSmallFileAt(AsDescriptor(m_hFolder), name.c_str(), nLimit, m_strPath + name);
}

bool FolderHandle::ReadInBlocks(const std::string& name, uint64_t nSize, std::string& buffer,
                                const std::function<void(std::string_view)>& onBlock) const {
    return ReadInBlocksAt(AsDescriptor(m_hFolder), name.c_str(), nSize, buffer, onBlock);
}

bool FolderHandle::SetFileTime(const std::string& name, uint32_t dwDosDate) const {
    return SetFileTimeFromDosAt(AsDescriptor(m_hFolder), name.c_str(), dwDosDate,
                                AT_SYMLINK_NOFOLLOW);
}

void FolderHandle::SetHidden(const std::string&, bool) const {}

Result FolderHandle::Flush() const {
    if (fsync(AsDescriptor(m_hFolder)) != 0) return SystemFailure(m_strPath);
    return {};
}

Result FolderHandle::FlushFileSystem() const {
    if (syncfs(AsDescriptor(m_hFolder)) != 0) return SystemFailure(m_strPath);
    return {};
}

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
    if (m_hFile < 0) return Failure{m_strPath, "the file is not open"};
    if (!WriteAll(AsDescriptor(m_hFile), pData, nSize)) return SystemFailure(m_strPath);
    return {};
}

void NewFile::SetTimeAndAttributes(uint32_t dwDosDate, uint32_t dwVersionMadeBy,
                                   uint32_t dwExternalAttributes) {
    if (m_hFile < 0) return;
    if (const std::optional<std::time_t> when = TimeFromDos(dwDosDate)) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {*when, 0}};
        futimens(AsDescriptor(m_hFile), times);
    }
    const mode_t executeBits = StoredExecuteBits(dwVersionMadeBy, dwExternalAttributes);
    if (executeBits != 0) fchmod(AsDescriptor(m_hFile), 0644 | executeBits);
}

Result NewFile::Finish(bool bFlushLater) {
    if (m_hFile < 0) return Failure{m_strPath, "the file is not open"};
    const int fd = AsDescriptor(m_hFile);
    // Later: write-back starts now, and FlushFileSystem waits for it once.
    const bool bSynced =
        bFlushLater ? sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 : fdatasync(fd) == 0;
    m_hFile = -1;
    if (close(fd) != 0 || !bSynced) return SystemFailure(m_strPath);
    m_bFinished = true;
    if (m_hFolder >= 0) close(AsDescriptor(m_hFolder));
    m_hFolder = -1;
    return {};
}

void NewFile::Discard() {
    if (m_hFile >= 0) close(AsDescriptor(m_hFile));
    m_hFile = -1;
    if (m_hFolder >= 0) {
        if (!m_bFinished) unlinkat(AsDescriptor(m_hFolder), m_strName.c_str(), 0);
        close(AsDescriptor(m_hFolder));
    }
    m_hFolder = -1;
}

void DataFile::Close() {
    if (m_hFile >= 0) close(AsDescriptor(m_hFile));
    m_hFile = -1;
}

Result DataFile::Append(const char* pData, std::size_t nSize) {
    if (m_hFile < 0) return Failure{m_strPath, "the file is not open"};
    for (std::size_t nDone = 0; nDone < nSize;) {
        const ssize_t nWritten = pwrite(AsDescriptor(m_hFile), pData + nDone, nSize - nDone,
                                        static_cast<off_t>(m_nSize));
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) return SystemFailure(m_strPath);
        nDone += static_cast<std::size_t>(nWritten);
        m_nSize += static_cast<uint64_t>(nWritten);
    }
    return {};
}

Result DataFile::Truncate(uint64_t nSize) {
    if (m_hFile < 0 || nSize > m_nSize ||
        ftruncate(AsDescriptor(m_hFile), static_cast<off_t>(nSize)) != 0) {
        return SystemFailure(m_strPath);
    }
    m_nSize = nSize;
    return {};
}

Result DataFile::Flush() {
    if (m_hFile < 0 || fdatasync(AsDescriptor(m_hFile)) != 0) return SystemFailure(m_strPath);
    return {};
}

Expected<std::size_t> DataFile::ReadAt(uint64_t nOffset, char* pBuffer, std::size_t nSize) const {
    for (;;) {
        const ssize_t nRead =
            pread(AsDescriptor(m_hFile), pBuffer, nSize, static_cast<off_t>(nOffset));
        if (nRead >= 0) return static_cast<std::size_t>(nRead);
        if (errno != EINTR) return SystemFailure(m_strPath);
    }
}

}  // namespace corvana
