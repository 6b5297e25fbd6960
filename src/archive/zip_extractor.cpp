#include "archive/zip_extractor.h"

#include <unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "archive/item_name.h"
#include "archive/sha256.h"
#include "platform/codepage.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace corvana {

namespace {

// The general-purpose flag that marks an item's name (and comment) as UTF-8.
constexpr uLong UTF8_NAME_FLAG = 1u << 11;

unzFile AsZip(void* hZip) { return static_cast<unzFile>(hZip); }

// Copies at most MAX_PATH_LENGTH characters; false when text was longer.
bool CopyPath(char (&szOut)[MAX_PATH_LENGTH + 1], std::string_view text) {
    const std::size_t nLength = std::min<std::size_t>(text.size(), MAX_PATH_LENGTH);
    std::memcpy(szOut, text.data(), nLength);
    szOut[nLength] = '\0';
    return nLength == text.size();
}

// minizip's file functions over an archive in memory or in a file of ours.
template <typename Source>
struct MemoryFile {
    static voidpf Open(voidpf pOpaque, const void*, int) {
        static_cast<Source*>(pOpaque)->nPosition = 0;
        return pOpaque;
    }
    // Reads up to nCount bytes of the file from nFrom into pOut; fewer at its
    // end or on a failure (minizip then sees a short read: a damaged archive).
    static uint64_t ReadFile(const Source& source, uint64_t nFrom, char* pOut, uint64_t nCount) {
        uint64_t nDone = 0;
        while (nDone < nCount) {
            const Expected<std::size_t> read = source.pFile->ReadAt(
                nFrom + nDone, pOut + nDone, static_cast<std::size_t>(nCount - nDone));
            if (!read || *read == 0) break;
            nDone += *read;
        }
        return nDone;
    }
    static uLong Read(voidpf pOpaque, voidpf, void* pBuffer, uLong nSize) {
        auto& source = *static_cast<Source*>(pOpaque);
        const uint64_t nCount = std::min<uint64_t>(nSize, source.nSize - source.nPosition);
        if (source.pFile != nullptr) {
            // minizip reads the headers a few bytes at a time, and a read costs
            // a system call (far more under some systems): small reads come
            // from a block read ahead.
            constexpr uint64_t READ_AHEAD = uint64_t{64} << 10;
            auto* pOut = static_cast<char*>(pBuffer);
            uint64_t nDone = 0;
            if (nCount >= READ_AHEAD) {
                nDone = ReadFile(source, source.nPosition, pOut, nCount);
            } else {
                const uint64_t nAt = source.nPosition;
                if (nAt < source.nReadAheadAt ||
                    nAt + nCount > source.nReadAheadAt + source.readAhead.size()) {
                    source.readAhead.resize(
                        static_cast<std::size_t>(std::min(READ_AHEAD, source.nSize - nAt)));
                    source.readAhead.resize(static_cast<std::size_t>(
                        ReadFile(source, nAt, source.readAhead.data(), source.readAhead.size())));
                    source.nReadAheadAt = nAt;
                }
                // Within the block (just read from nAt, or holding all of the read).
                const uint64_t nOffset = nAt - source.nReadAheadAt;
                nDone = std::min<uint64_t>(nCount, source.readAhead.size() - nOffset);
                std::memcpy(pOut, source.readAhead.data() + nOffset,
                            static_cast<std::size_t>(nDone));
            }
            source.nPosition += nDone;
            return static_cast<uLong>(nDone);
        }
        std::memcpy(pBuffer, source.pData + source.nPosition, static_cast<std::size_t>(nCount));
        source.nPosition += nCount;
        return static_cast<uLong>(nCount);
    }
    static uLong Write(voidpf, voidpf, const void*, uLong) { return 0; }
    static ZPOS64_T Tell(voidpf pOpaque, voidpf) {
        return static_cast<Source*>(pOpaque)->nPosition;
    }
    static long Seek(voidpf pOpaque, voidpf, ZPOS64_T nOffset, int nOrigin) {
        auto& source = *static_cast<Source*>(pOpaque);
        uint64_t nBase = 0;
        if (nOrigin == ZLIB_FILEFUNC_SEEK_CUR) nBase = source.nPosition;
        if (nOrigin == ZLIB_FILEFUNC_SEEK_END) nBase = source.nSize;
        if (nOffset > source.nSize - std::min(nBase, source.nSize)) return -1;
        source.nPosition = nBase + nOffset;
        return 0;
    }
    static int Close(voidpf, voidpf) { return 0; }
    static int Error(voidpf, voidpf) { return 0; }
};

}  // namespace

ZipExtractor::ZipExtractor(const char* pszPath) { Open(pszPath, true); }

bool ZipExtractor::OpenMemory(const char* pData, uint64_t nSize, const char* pszDestFolder) {
    Close();
    m_memory = {pData, nullptr, nSize, 0, {}, 0};
    return OpenSource(pszDestFolder);
}

bool ZipExtractor::OpenDataFile(const DataFile& file, const char* pszDestFolder) {
    Close();
    m_memory = {nullptr, &file, file.Size(), 0, {}, 0};
    return OpenSource(pszDestFolder);
}

bool ZipExtractor::OpenSource(const char* pszDestFolder) {
    using File = MemoryFile<MemorySource>;
    zlib_filefunc64_def functions{File::Open, File::Read,  File::Write, File::Tell,
                                  File::Seek, File::Close, File::Error, &m_memory};
    m_hZip = unzOpen2_64("memory", &functions);
    if (m_hZip == nullptr) return false;
    return CopyPath(m_szDestFolder, pszDestFolder);
}

void ZipExtractor::StageInto(StagingArea* pArea, std::string prefix) {
    m_pArea = pArea;
    m_strAreaPrefix = std::move(prefix);
}

uint64_t ZipExtractor::DeclaredSize() {
    uint64_t nTotal = 0;
    for (bool bMore = GoToFirstItem(); bMore; bMore = GoToNextItem()) {
        ZipItemInfo info;
        if (!GetCurrentItemInfo(info)) break;
        nTotal += info.nUncompressedSize;
    }
    return nTotal;
}

ZipExtractor::~ZipExtractor() { Close(); }

bool ZipExtractor::Open(const char* pszPath, bool bFolderFromName) {
    Close();
    m_hZip = unzOpen64(pszPath);
    if (m_hZip == nullptr) return false;
    const std::string_view path = pszPath;
    const std::size_t nCut = path.rfind(bFolderFromName ? '.' : kPathSeparator);
    if (!CopyPath(m_szDestFolder, nCut == std::string_view::npos ? path : path.substr(0, nCut))) {
        Close();  // a destination that does not fit is never cut
        return false;
    }
    return true;
}

bool ZipExtractor::Close() {
    if (m_hZip == nullptr) return false;
    unzCloseCurrentFile(AsZip(m_hZip));
    const bool bClean = unzClose(AsZip(m_hZip)) == UNZ_OK;
    m_hZip = nullptr;
    m_knownFolders.clear();
    return bClean;
}

unsigned ZipExtractor::GetItemCount() {
    if (m_hZip == nullptr) return 0;
    unz_global_info global{};
    if (unzGetGlobalInfo(AsZip(m_hZip), &global) != UNZ_OK) return 0;
    return static_cast<unsigned>(global.number_entry);
}

bool ZipExtractor::GoToMatchingItem(bool bFirst, const char* pszExtension) {
    if (m_hZip == nullptr) return false;
    const auto move = [&](bool bStart) {
        return (bStart ? unzGoToFirstFile(AsZip(m_hZip)) : unzGoToNextFile(AsZip(m_hZip))) ==
               UNZ_OK;
    };
    if (!move(bFirst)) return false;
    if (pszExtension == nullptr || *pszExtension == '\0') return true;
    for (;;) {
        ZipItemInfo info;
        if (!GetCurrentItemInfo(info)) return false;
        const std::string_view name = info.szName;
        const std::size_t nDot = name.rfind('.');
        if (nDot != std::string_view::npos && EqualsNoCase(name.substr(nDot + 1), pszExtension)) {
            return true;
        }
        if (!move(false)) return false;
    }
}

bool ZipExtractor::GoToFirstItem(const char* pszExtension) {
    return GoToMatchingItem(true, pszExtension);
}

bool ZipExtractor::GoToNextItem(const char* pszExtension) {
    return GoToMatchingItem(false, pszExtension);
}

bool ZipExtractor::GetCurrentItemInfo(ZipItemInfo& info) {
    std::memset(&info, 0, sizeof info);
    if (m_hZip == nullptr) return false;
    unz_file_info64 item{};
    if (unzGetCurrentFileInfo64(AsZip(m_hZip), &item, info.szName, sizeof info.szName, nullptr, 0,
                                info.szComment, sizeof info.szComment - 1) != UNZ_OK) {
        return false;
    }
    info.dwVersion = static_cast<uint32_t>(item.version);
    info.dwVersionNeeded = static_cast<uint32_t>(item.version_needed);
    info.dwFlag = static_cast<uint32_t>(item.flag);
    info.dwCompressionMethod = static_cast<uint32_t>(item.compression_method);
    info.dwDosDate = static_cast<uint32_t>(item.dosDate);
    info.dwCrc = static_cast<uint32_t>(item.crc);
    info.dwCompressedSize = static_cast<uint32_t>(item.compressed_size);
    info.dwUncompressedSize = static_cast<uint32_t>(item.uncompressed_size);
    info.nCompressedSize = item.compressed_size;
    info.nUncompressedSize = item.uncompressed_size;
    info.dwInternalAttributes = static_cast<uint32_t>(item.internal_fa);
    info.dwExternalAttributes = static_cast<uint32_t>(item.external_fa);
    info.bNameTooLong = item.size_filename > MAX_PATH_LENGTH;
    info.szName[MAX_PATH_LENGTH] = '\0';
    if ((item.flag & UTF8_NAME_FLAG) != 0) {
        // A name marked UTF-8 in the system code page, as every path of the core
        // is (the same bytes on Linux; a character the code page lacks becomes
        // '?', which no item name may hold).
        const std::string name = FromUtf8(info.szName);
        std::strncpy(info.szName, name.c_str(), MAX_PATH_LENGTH);
    }
    for (char* p = info.szName; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') *p = kPathSeparator;
    }
    const std::size_t nLength = std::strlen(info.szName);
    info.bFolder = nLength > 0 && info.szName[nLength - 1] == kPathSeparator;
    return true;
}

Result ZipExtractor::ExtractCurrentItem(const char* pszFolder, bool bFlattenPaths) {
    const Failure damaged{{}, "a damaged archive"};
    if (m_hZip == nullptr) return Failure{{}, "no archive is open"};
    const std::string folder = pszFolder != nullptr ? pszFolder : m_szDestFolder;
    if (Result made = EnsureKnownDirectory(folder); !made) return made;
    ZipItemInfo info;
    if (!GetCurrentItemInfo(info)) return damaged;
    if (info.bNameTooLong || !IsSafeItemName(info.szName)) {
        return Failure{info.szName, "an unsafe item name"};
    }
    if (info.bFolder) return {};  // folders come into being as parents of files

    std::string_view name = info.szName;
    if (bFlattenPaths) name = name.substr(name.rfind(kPathSeparator) + 1);
    if (m_pArea != nullptr) {
        // Staged: the area makes the folders and checks the places.
        Expected<NewFile> file = m_pArea->Create(m_strAreaPrefix + std::string(name));
        if (!file) return file.GetFailure();
        if (Result copied = CopyCurrentItem(
                info,
                [&](const char* pData, std::size_t nSize) { return (*file).Write(pData, nSize); });
            !copied) {
            return copied;
        }
        (*file).SetTimeAndAttributes(info.dwDosDate, info.dwVersion, info.dwExternalAttributes);
        if (Result finished = (*file).Finish(true); !finished) return finished;
        return m_pArea->Keep(std::move(*file));
    }
    std::string output = folder;
    if (output.empty() || output.back() != kPathSeparator) output += kPathSeparator;
    output += name;
    if (output.size() >= MAX_PATH_LENGTH) return Failure{output, "the path is too long"};
    if (Result made = EnsureKnownDirectory(output.substr(0, output.rfind(kPathSeparator))); !made) {
        return made;
    }
    ReplacementFile file;
    if (Result created = file.Create(output.c_str()); !created) return created;
    if (Result copied = CopyCurrentItem(info,
                                        [&](const char* pData, std::size_t nSize) {
                                            return file.Write(pData, static_cast<uint32_t>(nSize));
                                        });
        !copied) {
        return copied;
    }
    if (Result finished = file.Finish(); !finished) return finished;
    SetFileTimeFromDos(file.TemporaryPath().c_str(), info.dwDosDate);
    ApplyStoredAttributes(file.TemporaryPath().c_str(), info.dwVersion, info.dwExternalAttributes);
    return file.Commit();
}

Result ZipExtractor::CopyCurrentItem(const ZipItemInfo& info,
                                     const std::function<Result(const char*, std::size_t)>& write) {
    const Failure damaged{{}, "a damaged archive"};
    if (unzOpenCurrentFile(AsZip(m_hZip)) != UNZ_OK) return damaged;
    static thread_local std::unique_ptr<char[]> s_pChunk(new char[EXTRACT_CHUNK_SIZE]);
    uint64_t nWritten = 0;
    Result written;
    for (;;) {
        const int nRead = unzReadCurrentFile(AsZip(m_hZip), s_pChunk.get(), EXTRACT_CHUNK_SIZE);
        if (nRead == 0) break;
        nWritten += static_cast<uint64_t>(nRead);
        // Never more than the item declares: a lying size stops here, not at the disk's end.
        if (nRead < 0 || nWritten > info.nUncompressedSize) {
            written = damaged;
            break;
        }
        written = write(s_pChunk.get(), static_cast<std::size_t>(nRead));
        if (!written) break;
    }
    // Closing the item is where the reader reports a CRC-32 mismatch (against the
    // central directory's, the one info holds); it checks only when it read the
    // size the item declares, so the size is checked here too.
    const bool bReaderOk = unzCloseCurrentFile(AsZip(m_hZip)) == UNZ_OK;
    if (!written) return written;
    if (!bReaderOk || nWritten != info.nUncompressedSize) return damaged;
    return {};
}

Expected<std::string> ZipExtractor::ReadCurrentItem(uint64_t nLimit) {
    ZipItemInfo info;
    if (m_hZip == nullptr || !GetCurrentItemInfo(info)) return Failure{{}, "a damaged archive"};
    if (info.nUncompressedSize > nLimit) {
        return Failure{info.szName, "larger than " + std::to_string(nLimit) + " bytes"};
    }
    std::string data;
    data.reserve(static_cast<std::size_t>(info.nUncompressedSize));
    if (Result copied = CopyCurrentItem(info,
                                        [&](const char* pData, std::size_t nSize) {
                                            data.append(pData, nSize);
                                            return Result();
                                        });
        !copied) {
        return copied.GetFailure();
    }
    return data;
}

Result ZipExtractor::StreamCurrentItem(
    const std::function<Result(const char*, std::size_t)>& write) {
    ZipItemInfo info;
    if (m_hZip == nullptr || !GetCurrentItemInfo(info)) return Failure{{}, "a damaged archive"};
    if (Result copied = CopyCurrentItem(info, write); !copied) {
        return Failure{info.szName, copied.GetFailure().why};
    }
    return {};
}

Expected<std::string> ZipExtractor::HashCurrentItem() {
    Sha256Hash hash;
    if (Result streamed = StreamCurrentItem([&](const char* pData, std::size_t nSize) {
            hash.Update(std::string_view(pData, nSize));
            return Result();
        });
        !streamed) {
        return streamed.GetFailure();
    }
    return hash.HexDigest();
}

bool ZipExtractor::AllItemNamesSafe() {
    for (bool bMore = GoToFirstItem(); bMore; bMore = GoToNextItem()) {
        ZipItemInfo info;
        if (!GetCurrentItemInfo(info)) break;  // the walk ends at an unreadable entry
        // A name cut to fit cannot be checked whole.
        if (info.bNameTooLong || !IsSafeItemName(info.szName)) return false;
    }
    return true;
}

Result ZipExtractor::ExtractAllTo(const char* pszFolder, bool bFlattenPaths) {
    if (m_hZip == nullptr || pszFolder == nullptr) return Failure{{}, "no archive is open"};
    if (!AllItemNamesSafe()) return Failure{{}, "an unsafe item name"};
    if (Result made = EnsureKnownDirectory(pszFolder); !made) return made;
    if (GetItemCount() == 0 || !GoToFirstItem()) return Failure{{}, "a damaged archive"};
    do {
        if (Result extracted = ExtractCurrentItem(pszFolder, bFlattenPaths); !extracted) {
            return extracted;
        }
    } while (GoToNextItem());
    return {};
}

Result ZipExtractor::ExtractAll(bool bFlattenPaths) {
    if (m_hZip == nullptr) return Failure{{}, "no archive is open"};
    return ExtractAllTo(m_szDestFolder, bFlattenPaths);
}

bool ZipExtractor::EnsureDirectory(const char* pszPath) {
    if (pszPath == nullptr || *pszPath == '\0') return false;
    const std::string path = pszPath;
    return static_cast<bool>(
        MakeFolders(path.back() == kPathSeparator ? path : path + kPathSeparator));
}

Result ZipExtractor::EnsureKnownDirectory(const std::string& folder) {
    // One archive's items share few folders: each is looked at once.
    if (folder.empty() || m_knownFolders.count(folder) != 0) return {};
    if (Result made = MakeFolders(folder + kPathSeparator); !made) return made;
    m_knownFolders.insert(folder);
    return {};
}

bool ZipExtractor::EnsureParentDirectory(const char* pszFilePath) {
    const std::string path = pszFilePath;
    return path.find(kPathSeparator) != std::string::npos && static_cast<bool>(MakeFolders(path));
}

bool ZipExtractor::SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate) {
    return corvana::SetFileTimeFromDos(pszPath, dwDosDate);
}

}  // namespace corvana
