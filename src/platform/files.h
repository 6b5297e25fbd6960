// Files and folders.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"

namespace corvana {

// The longest path the program builds, terminator included (Windows' MAX_PATH,
// Linux's PATH_MAX). A longer path fails; it is never cut.
#ifdef _WIN32
inline constexpr unsigned MAX_PATH_LENGTH = 260;
#else
inline constexpr unsigned MAX_PATH_LENGTH = 4096;
#endif

// The system's words for an error number (errno on Linux; a Win32 error code on
// Windows, looked up in pszModule's messages first when given), without the
// trailing full stop and line break; empty when the system has none.
std::string SystemErrorText(unsigned long dwCode, const char* pszModule = nullptr);

// The failure of an operation on what, in the words of the system's last error.
Failure SystemFailure(const std::string& what);

enum class PathKind { NONE, FILE, FOLDER };
PathKind GetPathKind(const char* pszPath);

// What is at a path, the last component taken as it is: a symbolic link (on
// Windows any reparse point, a junction included) is LINK, never its target;
// OTHER is a device, a pipe or a socket.
enum class EntryKind { NONE, FILE, FOLDER, LINK, OTHER };
EntryKind GetEntryKind(const char* pszPath);

// Whether the link at pszPath was made by the running user or by the system's
// administrators (root; Administrators or SYSTEM), whose links may be followed.
bool IsLinkOfTrustedOwner(const char* pszPath);

// Removes what is at pszPath without following a link anywhere: a link or a
// file is removed itself, a folder with everything below it. True when nothing
// is left there.
bool RemoveTree(const char* pszPath);

// The contents of a plain file of at most nLimit bytes, read without following
// a link at pszPath; a failure for a link, a folder, a device, a pipe or a larger file.
Expected<std::string> ReadSmallFile(const char* pszPath, std::size_t nLimit);

// Reads a plain file of exactly nSize bytes, without following a link at
// pszPath, in blocks of the buffer's size, handing each to onBlock. False for a
// link, a folder, a device, a file of another size or one that cannot be read.
bool ReadInBlocks(const char* pszPath, uint64_t nSize, std::string& buffer,
                  const std::function<void(std::string_view)>& onBlock);

// Creates one folder (its parent must exist), for its owner alone when bPrivate
// (Linux); fails when it could not, one already there included.
Result CreateFolder(const char* pszPath, bool bPrivate = false);

// Makes the missing folders above path's last component (path itself too when
// it ends in a separator), from the top down; those named in privateFolders are
// made for their owner alone. Fails when one cannot be made or is not a folder.
Result MakeFolders(const std::string& path, const std::vector<std::string>& privateFolders = {});

bool DeleteOneFile(const char* pszPath);

// Clears the hidden and read-only attributes where the system has them.
bool SetNormalAttributes(const char* pszPath);
// Sets the hidden attribute where the system has one.
void SetHiddenAttribute(const char* pszPath);

// Sets a file's modification time (on Windows its creation and last-write time)
// from an MS-DOS date and time (date in the high 16 bits) taken as local time;
// the access time is kept.
bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate);

// A file that takes the place of its target only once it is complete: written to
// a temporary file in the target's folder, then moved over the target in one step.
// A file that is not committed leaves the target as it was and nothing behind.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();  // discards what was not committed
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Starts the temporary file beside pszTarget, or in pszTempFolder (on the same
    // file system) when given; false when it cannot be made or the target cannot
    // be replaced (a folder, or a read-only file).
    Result Create(const char* pszTarget, const char* pszTempFolder = nullptr);
    Result Write(const char* pData, uint32_t dwSize);
    // Closes the file, its data flushed to the disk. With bFlushLater the flush is
    // only started where the system can do that (Linux); FlushFileSystem() then
    // waits for every such file at once.
    Result Finish(bool bFlushLater = false);
    // Hands the finished temporary file over to the caller: it is neither moved
    // nor removed by this object any more.
    std::string Release();
    // The temporary file, to set its times and attributes between Finish and Commit.
    const std::string& TemporaryPath() const { return m_strTemp; }
    // Moves the finished file over the target.
    Result Commit();
    void Discard();

private:
    std::string m_strTarget;
    std::string m_strTemp;
    intptr_t m_hFile = -1;  // descriptor or handle of the open temporary file
    bool m_bOpen = false;
};

// Puts data at path in one step through a ReplacementFile (its temporary file in
// pszTempFolder when given): the target is either as it was or holds data whole.
Result ReplaceWholeFile(const std::string& path, std::string_view data,
                        const char* pszTempFolder = nullptr, bool bFlushLater = false);

// Moves a file over another in one step (retried while another program holds the
// target open, on Windows).
Result MoveReplacing(const char* pszFrom, const char* pszTo);

// Waits until everything written to the file system that holds pszPath is on the
// disk (Linux: every file whose flush was started; Windows: flushed already).
Result FlushFileSystem(const char* pszPath);
// Makes a folder's entries (created, renamed files) durable where the system needs that.
Result FlushFolder(const char* pszPath);

// Bytes the caller may still write below the folder; 0 when it cannot be told.
uint64_t FreeSpace(const char* pszFolder);

// An exclusive lock on a file (made when missing), held while the object lives
// and released by the system when the process ends: one holder at a time.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept : m_hFile(other.m_hFile) { other.m_hFile = -1; }
    FileLock& operator=(FileLock&&) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // The lock of path; with bWait it waits for another holder, else a lock held
    // elsewhere is a failure (whose why is HELD).
    static Expected<FileLock> Take(const std::string& path, bool bWait);
    static constexpr const char* HELD = "held by another process";

private:
    intptr_t m_hFile = -1;
};

// The names of the entries of a folder (no "." or ".."); empty when it cannot be read.
std::vector<std::string> ListFolder(const char* pszFolder);

// Applies what the program keeps of an archive item's stored attributes: on Linux
// the execute bits of a Unix mode (made on a Unix system), so that an installed
// program can be started; nothing on Windows.
void ApplyStoredAttributes(const char* pszPath, uint32_t dwVersionMadeBy,
                           uint32_t dwExternalAttributes);

}  // namespace corvana
