// Unpacking a ZIP archive into a folder, over minizip's reader.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/folder.h"

namespace corvana {

inline constexpr uint32_t EXTRACT_CHUNK_SIZE = 256 * 1024;  // one write per block

struct ZipItemInfo {
    char szName[MAX_PATH_LENGTH + 1];  // the stored path with native separators
    char szComment[256];
    uint32_t dwVersion;
    uint32_t dwVersionNeeded;
    uint32_t dwFlag;
    uint32_t dwCompressionMethod;  // 0 stored, 8 deflated
    uint32_t dwDosDate;            // local time: date in the high 16 bits
    uint32_t dwCrc;
    uint32_t dwCompressedSize;
    uint32_t dwUncompressedSize;
    uint64_t nCompressedSize;  // the sizes in full (ZIP64)
    uint64_t nUncompressedSize;
    uint32_t dwInternalAttributes;
    uint32_t dwExternalAttributes;
    bool bFolder;       // the name ends with a separator
    bool bNameTooLong;  // the stored name did not fit szName and was cut
};

// Where items are written before they take their places, all of an archive's
// together: a new file for each, kept until the whole archive is written.
class StagingArea {
public:
    virtual ~StagingArea() = default;
    // A new file that is to take relative's place (relative to the area's
    // folder, native separators); a failure when the place is refused.
    virtual Expected<NewFile> Create(const std::string& relative) = 0;
    // The finished file: it takes its place with the others.
    virtual Result Keep(NewFile file) = 0;
};

class ZipExtractor {
public:
    ZipExtractor() = default;
    // Opens the archive; the destination is the path up to its last dot.
    explicit ZipExtractor(const char* pszPath);
    virtual ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    // Closes what was open, then opens pszPath. The destination is the folder
    // named like the archive (bFolderFromName) or the folder that holds it.
    bool Open(const char* pszPath, bool bFolderFromName);
    // Opens an archive held in memory (which must outlive the extractor); items
    // are unpacked below pszDestFolder.
    bool OpenMemory(const char* pData, uint64_t nSize, const char* pszDestFolder);
    // Opens an archive in a file of ours (which must outlive the extractor).
    bool OpenDataFile(const DataFile& file, const char* pszDestFolder);
    // From now on every item goes to the area, as prefix (the archive's folder
    // relative to the area's, with its separator, or empty) + its name, instead
    // of replacing its target below the destination.
    void StageInto(StagingArea* pArea, std::string prefix);
    // The sum of every item's declared unpacked size.
    uint64_t DeclaredSize();
    bool Close();
    unsigned GetItemCount();

    // Item walks; with an extension (no dot) only items whose name has it.
    bool GoToFirstItem(const char* pszExtension = nullptr);
    bool GoToNextItem(const char* pszExtension = nullptr);
    bool GetCurrentItemInfo(ZipItemInfo& info);

    // Writes the current item under pszFolder (nullptr: the destination). A
    // folder item writes nothing. The file replaces its target only when it is
    // complete and its CRC-32 and size are right.
    Result ExtractCurrentItem(const char* pszFolder = nullptr, bool bFlattenPaths = false);
    // The current item's bytes (its size and CRC-32 checked); a failure for a
    // damaged item or one larger than nLimit.
    Expected<std::string> ReadCurrentItem(uint64_t nLimit);
    // The current item's bytes handed to write in blocks as they are inflated,
    // its size and CRC-32 checked at its end.
    Result StreamCurrentItem(const std::function<Result(const char*, std::size_t)>& write);
    // The current item's SHA-256 in lowercase hex, read whole (its size and
    // CRC-32 checked as an extraction checks them).
    Expected<std::string> HashCurrentItem();
    // Every item in order, stopping at the first that fails. An archive with an
    // unsafe item name (see IsSafeItemName) is refused before anything is written.
    Result ExtractAllTo(const char* pszFolder, bool bFlattenPaths);
    Result ExtractAll(bool bFlattenPaths);

    // Whether the folder (or the folder of a file's path) is there afterwards,
    // the missing levels made (see MakeFolders).
    static bool EnsureDirectory(const char* pszPath);
    static bool EnsureParentDirectory(const char* pszFilePath);
    static bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate);

    const char* GetDestinationFolder() const { return m_szDestFolder; }

private:
    bool OpenSource(const char* pszDestFolder);
    bool AllItemNamesSafe();
    // Unpacks the current item through write, its size and CRC-32 checked.
    Result CopyCurrentItem(const ZipItemInfo& info,
                           const std::function<Result(const char*, std::size_t)>& write);
    Result EnsureKnownDirectory(const std::string& folder);
    bool GoToMatchingItem(bool bFirst, const char* pszExtension);

    void* m_hZip = nullptr;  // minizip's unzFile
    char m_szDestFolder[MAX_PATH_LENGTH + 1] = {};
    // The archive's bytes: in memory, or read from a file.
    struct MemorySource {
        const char* pData = nullptr;
        const DataFile* pFile = nullptr;
        uint64_t nSize = 0;
        uint64_t nPosition = 0;
        std::string readAhead;  // the file's bytes from nReadAheadAt on
        uint64_t nReadAheadAt = 0;
    } m_memory;
    StagingArea* m_pArea = nullptr;
    std::string m_strAreaPrefix;
    std::set<std::string> m_knownFolders;  // folders that exist already
};

}  // namespace corvana
