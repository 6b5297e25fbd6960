// Unpacking a ZIP archive into a folder, over minizip's reader.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"

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

// A file written into a staging folder, to be moved over its target later.
struct StagedFile {
    std::string strTemp;
    std::string strTarget;
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
    // From now on every item is written into pszStagingFolder and listed in
    // *pStaged instead of replacing its target.
    void StageInto(const char* pszStagingFolder, std::vector<StagedFile>* pStaged);
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
    // Every item in order, stopping at the first that fails. An archive with an
    // unsafe item name (see IsSafeItemName) is refused before anything is written.
    // The current item's bytes (its size and CRC-32 checked); a failure for a
    // damaged item or one larger than nLimit.
    Expected<std::string> ReadCurrentItem(uint64_t nLimit);
    Result ExtractAllTo(const char* pszFolder, bool bFlattenPaths);
    Result ExtractAll(bool bFlattenPaths);

    // Whether the folder (or the folder of a file's path) is there afterwards,
    // the missing levels made (see MakeFolders).
    static bool EnsureDirectory(const char* pszPath);
    static bool EnsureParentDirectory(const char* pszFilePath);
    static bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate);

    const char* GetDestinationFolder() const { return m_szDestFolder; }

private:
    bool AllItemNamesSafe();
    Result EnsureKnownDirectory(const std::string& folder);
    bool GoToMatchingItem(bool bFirst, const char* pszExtension);

    void* m_hZip = nullptr;  // minizip's unzFile
    char m_szDestFolder[MAX_PATH_LENGTH + 1] = {};
    struct MemorySource {
        const char* pData = nullptr;
        uint64_t nSize = 0;
        uint64_t nPosition = 0;
    } m_memory;
    std::string m_strStagingFolder;
    std::vector<StagedFile>* m_pStaged = nullptr;
    std::set<std::string> m_knownFolders;  // folders that exist already
};

}  // namespace corvana
