// A folder held open, through which what lies below it is reached. A path below
// it is opened one component at a time, and a link on the way is followed only
// when its owner is trusted (the running user or the system's administrators,
// see IsLinkOfTrustedOwner): the folder checked is the folder used, so another
// user who can write a folder on the way cannot swap a checked sub-folder for a
// link between the check and the use.
//
// Linux: a directory descriptor; entries are opened, renamed and removed with
// openat, renameat and unlinkat on it. Windows: the folder's path, with a handle
// held on it and on each folder it was reached through, opened without delete
// sharing, so that none of them can be renamed or replaced while it is held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/failure.h"
#include "platform/files.h"

namespace corvana {

class NewFile;
class DataFile;

class FolderHandle {
public:
    FolderHandle() = default;
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    // Opens the folder at path (links on the way to it are followed: the user
    // named it).
    static Expected<FolderHandle> Open(const std::string& path);
    // The folder at relative below this one ('/' or '\\' separated; empty: this
    // folder again), each component opened in turn; a missing one is made when
    // bMake. A component that is a file, a device or a link of another owner is
    // a failure naming it.
    Expected<FolderHandle> OpenBelow(std::string_view relative, bool bMake) const;
    // Why the folder at relative could not be reached as OpenBelow reaches it;
    // the check ends at the first component that is missing (an install makes it).
    Result CheckBelow(std::string_view relative) const;

    bool IsOpen() const;
    // The folder's path with its separator, for messages.
    const std::string& Path() const { return m_strPath; }

    // What is at name in this folder, the entry taken as it is (a link is LINK).
    EntryKind KindOf(const std::string& name) const;
    // Why a new file may not take name's place: a folder is there, or a
    // read-only file.
    Result CheckReplaceable(const std::string& name) const;
    // The file system the folder lies on: a file moves between two folders of
    // the same one in a single rename.
    Expected<uint64_t> FileSystemId() const;
    // Bytes the caller may still write on the folder's file system; 0 when unknown.
    uint64_t FreeSpace() const;

    // A new file, named prefix and a unique suffix, for writing.
    Expected<NewFile> CreateTemporary(const char* pszPrefix) const;
    // The plain file name of ours, made empty when missing, open for reading and
    // appending (or, bReadOnly, an existing plain file open for reading); a link,
    // a folder or anything else there is a failure.
    Expected<DataFile> OpenDataFile(const std::string& name, bool bReadOnly = false) const;
    Result MakeFolder(const std::string& name) const;
    // Moves the file name over toName in the folder to (same file system), in one step.
    Result Rename(const std::string& name, const FolderHandle& to, const std::string& toName) const;
    // Removes a file or a link (never what it leads to); true when nothing is left.
    bool RemoveEntry(const std::string& name) const;
    // Removes what is at name without following a link anywhere; true when
    // nothing is left.
    bool RemoveTree(const std::string& name) const;
    // See the path-based functions of the same names in files.h.
    Expected<std::string> ReadSmallFile(const std::string& name, std::size_t nLimit) const;
    bool ReadInBlocks(const std::string& name, uint64_t nSize, std::string& buffer,
                      const std::function<void(std::string_view)>& onBlock) const;
    // Sets a file's modification time from an MS-DOS date and time (local time).
    bool SetFileTime(const std::string& name, uint32_t dwDosDate) const;
    void SetHidden(const std::string& name, bool bHidden) const;

    // The folder's entries made durable (created, renamed files).
    Result Flush() const;
    // Everything written to the folder's file system made durable (Linux: every
    // file whose flush was started too).
    Result FlushFileSystem() const;

private:
    FolderHandle(std::string path, intptr_t hFolder, std::shared_ptr<void> pChain)
        : m_strPath(std::move(path)), m_hFolder(hFolder), m_pChain(std::move(pChain)) {}
    void Close();

    std::string m_strPath;
    intptr_t m_hFolder = -1;  // a descriptor (Linux) or a handle (Windows)
    // Windows: the handles of the folders it was reached through, shared with them.
    std::shared_ptr<void> m_pChain;
};

// A new file in a folder, written, then closed and kept, or removed.
class NewFile {
public:
    NewFile() = default;
    ~NewFile();  // an unfinished file is removed
    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    const std::string& Name() const { return m_strName; }
    Result Write(const char* pData, std::size_t nSize);
    // Sets the modification time (local MS-DOS date and time) and what the
    // program keeps of an archive item's stored attributes (see ApplyStoredAttributes).
    void SetTimeAndAttributes(uint32_t dwDosDate, uint32_t dwVersionMadeBy,
                              uint32_t dwExternalAttributes);
    // Closes the file, its data flushed to the disk (with bFlushLater the flush is
    // only started where the system can do that; FlushFileSystem waits for it).
    // The file stays when this succeeded.
    Result Finish(bool bFlushLater = false);

private:
    friend class FolderHandle;
    void Discard();

    std::string m_strName;
    std::string m_strPath;  // for messages, and for its removal on Windows
    intptr_t m_hFile = -1;
    intptr_t m_hFolder = -1;  // Linux: a descriptor of its folder, for its removal
    bool m_bFinished = false;
};

// The plain file at path open for reading, reached through its folder (a link
// in its place is refused).
Expected<DataFile> OpenFileToRead(const std::string& path);

// A file of ours kept from one run to the next (a body fetched in part):
// appended to, read anywhere, emptied.
class DataFile {
public:
    DataFile() = default;
    ~DataFile();
    DataFile(DataFile&& other) noexcept;
    DataFile& operator=(DataFile&& other) noexcept;
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    const std::string& Path() const { return m_strPath; }
    uint64_t Size() const { return m_nSize; }
    Result Append(const char* pData, std::size_t nSize);
    // Cuts the file to its first nSize bytes (empties it by default).
    Result Truncate(uint64_t nSize = 0);
    // The data written made durable.
    Result Flush();
    // Reads at most nSize bytes at nOffset: their count, 0 at the end.
    Expected<std::size_t> ReadAt(uint64_t nOffset, char* pBuffer, std::size_t nSize) const;

private:
    friend class FolderHandle;
    void Close();

    std::string m_strPath;  // for messages
    intptr_t m_hFile = -1;
    uint64_t m_nSize = 0;
};

}  // namespace corvana
