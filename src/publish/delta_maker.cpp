#include "publish/delta_maker.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <tuple>
#include <vector>

#include "archive/item_name.h"
#include "archive/sha256.h"
#include "archive/zip_extractor.h"
#include "net/http_downloader.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "platform/text.h"

namespace corvana {

namespace {

// A base larger than this is not diffed: its suffix array takes four times it.
constexpr uint64_t DIFF_BASE_LIMIT = uint64_t{64} * 1024 * 1024;
// A patch is used when it is under this share of the item's compressed size.
constexpr double PATCH_SHARE = 0.6;
// Windows are compressed faster: an item of gigabytes has hundreds of them.
constexpr int WINDOW_LEVEL = 9;
// The largest window a delta may use: the updater's decoder takes no more.
constexpr int WINDOW_LOG_MAX = 28;
constexpr int WINDOW_LOG_MIN = 10;

void PutVarint(std::string& out, int64_t nValue) {
    uint64_t nCoded = nValue >= 0 ? static_cast<uint64_t>(nValue) << 1
                                  : (static_cast<uint64_t>(-(nValue + 1)) << 1) | 1;
    while (nCoded >= 0x80) {
        out += static_cast<char>((nCoded & 0x7F) | 0x80);
        nCoded >>= 7;
    }
    out += static_cast<char>(nCoded);
}

int64_t MatchLength(std::string_view a, std::string_view b) {
    const std::size_t nMost = std::min(a.size(), b.size());
    std::size_t n = 0;
    while (n < nMost && a[n] == b[n]) ++n;
    return static_cast<int64_t>(n);
}

// The longest prefix of text that a suffix of base begins with: its place in
// base and its length (binary search over base's suffix array). A suffix that
// is a prefix of text sorts before it: taken as equal, a run of zeros would
// lead the search to the shortest such suffix and the scan to a quadratic crawl.
std::pair<int64_t, int64_t> LongestMatch(const std::vector<saidx_t>& suffixes,
                                         std::string_view base, std::string_view text) {
    if (suffixes.empty()) return {0, 0};
    std::size_t nLow = 0;
    std::size_t nHigh = suffixes.size() - 1;
    while (nHigh - nLow > 1) {
        const std::size_t nMiddle = nLow + (nHigh - nLow) / 2;
        if (base.substr(static_cast<std::size_t>(suffixes[nMiddle])) < text) {
            nLow = nMiddle;
        } else {
            nHigh = nMiddle;
        }
    }
    const int64_t nLowLength =
        MatchLength(base.substr(static_cast<std::size_t>(suffixes[nLow])), text);
    const int64_t nHighLength =
        MatchLength(base.substr(static_cast<std::size_t>(suffixes[nHigh])), text);
    return nLowLength >= nHighLength ? std::pair{int64_t{suffixes[nLow]}, nLowLength}
                                     : std::pair{int64_t{suffixes[nHigh]}, nHighLength};
}

bool IsMachineCode(std::string_view data) {
    return data.starts_with(
               "\x7f"
               "ELF") ||
           data.starts_with("MZ") || data.starts_with("\xcf\xfa\xed\xfe") ||
           data.starts_with("\xce\xfa\xed\xfe");
}

// A windowed item's payload (see RebuildWindows), made as the item's bytes
// arrive, window by window, against the base's region around each; it stops
// once the payload passes nLimit (no delta that large is of use).
class WindowMaker {
public:
    WindowMaker(const DataFile& base, const DeltaOptions& options, uint64_t nLimit)
        : m_base(base), m_options(options), m_nLimit(nLimit) {
        PutVarint(m_strPayload, static_cast<int64_t>(options.nWindow));
        m_strWindow.reserve(static_cast<std::size_t>(options.nWindow));
    }

    Result Take(const char* pData, std::size_t nSize) {
        m_hash.Update({pData, nSize});
        while (nSize > 0) {
            const std::size_t nPart = std::min<std::size_t>(
                nSize, static_cast<std::size_t>(m_options.nWindow) - m_strWindow.size());
            m_strWindow.append(pData, nPart);
            pData += nPart;
            nSize -= nPart;
            if (m_strWindow.size() == m_options.nWindow) {
                if (Result made = MakeWindow(); !made) return made;
            }
        }
        return {};
    }

    // The payload, or empty when it passed the limit; the item's SHA-256.
    Expected<std::string> Finish(std::string& resultSha256) {
        if (!m_strWindow.empty()) {
            if (Result made = MakeWindow(); !made) return made.GetFailure();
        }
        resultSha256 = m_hash.HexDigest();
        return m_strPayload.size() > m_nLimit ? std::string() : std::move(m_strPayload);
    }

private:
    Result MakeWindow() {
        const uint64_t nLength = m_strWindow.size();
        const uint64_t nBase = m_base.Size();
        if (m_strPayload.size() <= m_nLimit) {
            const uint64_t nFrom =
                m_nOffset > m_options.nMargin ? m_nOffset - m_options.nMargin : 0;
            const uint64_t nTo = std::min(nBase, m_nOffset + nLength + m_options.nMargin);
            m_strRegion.resize(static_cast<std::size_t>(nTo > nFrom ? nTo - nFrom : 0));
            const ReadAtFunction read = [this](uint64_t nAt, char* pOut, std::size_t nSize) {
                return m_base.ReadAt(nAt, pOut, nSize);
            };
            if (Result got = ReadFully(read, nFrom, m_strRegion.data(), m_strRegion.size()); !got) {
                return Failure{m_base.Path(), got.GetFailure().why};
            }
            const std::string_view region = m_strRegion;
            if (m_nOffset + nLength <= nBase &&
                region.substr(static_cast<std::size_t>(m_nOffset - nFrom), m_strWindow.size()) ==
                    m_strWindow) {
                PutVarint(m_strPayload, 0);  // the same bytes at the same place
                PutVarint(m_strPayload, static_cast<int64_t>(m_nOffset));
            } else {
                const std::string frame = ZstdFrame(m_strWindow, region, true, WINDOW_LEVEL);
                if (frame.empty()) {
                    return Failure{m_base.Path(), "a window could not be compressed"};
                }
                PutVarint(m_strPayload, region.empty() ? 2 : 1);
                if (!region.empty()) {
                    PutVarint(m_strPayload, static_cast<int64_t>(nFrom));
                    PutVarint(m_strPayload, static_cast<int64_t>(region.size()));
                }
                PutVarint(m_strPayload, static_cast<int64_t>(frame.size()));
                m_strPayload += frame;
            }
        }
        m_nOffset += nLength;
        m_strWindow.clear();
        return {};
    }

    const DataFile& m_base;
    const DeltaOptions& m_options;
    uint64_t m_nLimit;
    uint64_t m_nOffset = 0;  // the result's offset of the window being filled
    std::string m_strWindow;
    std::string m_strRegion;
    std::string m_strPayload;
    Sha256Hash m_hash;
};

// The size of the plain file at path (0 when there is none).
uint64_t SizeOfFile(const std::string& path) {
    std::error_code error;
    const uint64_t nSize = std::filesystem::file_size(path, error);
    return error ? 0 : nSize;
}

}  // namespace

std::string ZstdFrame(std::string_view data, std::string_view prefix, bool bLong, int nLevel) {
    ZSTD_CCtx* pContext = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(pContext, ZSTD_c_compressionLevel, nLevel);
    ZSTD_CCtx_setParameter(pContext, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(pContext, ZSTD_c_contentSizeFlag, 1);
    if (bLong || !prefix.empty()) {
        // The window reaches over the reference and the data, as the decoder allows.
        int nWindowLog = WINDOW_LOG_MIN;
        while (nWindowLog < WINDOW_LOG_MAX &&
               (uint64_t{1} << nWindowLog) < uint64_t{prefix.size()} + data.size()) {
            ++nWindowLog;
        }
        ZSTD_CCtx_setParameter(pContext, ZSTD_c_windowLog, nWindowLog);
        ZSTD_CCtx_setParameter(pContext, ZSTD_c_enableLongDistanceMatching, 1);
    }
    if (!prefix.empty()) ZSTD_CCtx_refPrefix(pContext, prefix.data(), prefix.size());
    std::string frame(ZSTD_compressBound(data.size()), '\0');
    const std::size_t nSize =
        ZSTD_compress2(pContext, frame.data(), frame.size(), data.data(), data.size());
    ZSTD_freeCCtx(pContext);
    frame.resize(ZSTD_isError(nSize) ? 0 : nSize);
    return frame;
}

std::string DiffPayload(std::string_view base, std::string_view data) {
    // bsdiff's method: the longest matches found through base's suffix array are
    // widened forwards and backwards while more bytes agree than not; each step
    // adds the next bytes to base's from the current place, takes new ones, and
    // moves the place.
    std::vector<saidx_t> suffixes(base.size());
    if (!base.empty()) {
        divsufsort(reinterpret_cast<const sauchar_t*>(base.data()), suffixes.data(),
                   static_cast<saidx_t>(base.size()));
    }
    const auto nBase = static_cast<int64_t>(base.size());
    const auto nData = static_cast<int64_t>(data.size());
    std::string steps;
    std::string added;
    std::string fresh;
    int64_t nScan = 0, nLength = 0, nPosition = 0;
    int64_t nLastScan = 0, nLastPosition = 0, nLastOffset = 0;
    const auto at = [](std::string_view text, int64_t n) {
        return text[static_cast<std::size_t>(n)];
    };
    while (nScan < nData) {
        int64_t nOldScore = 0;
        for (int64_t nCounted = nScan += nLength; nScan < nData; ++nScan) {
            std::tie(nPosition, nLength) =
                LongestMatch(suffixes, base, data.substr(static_cast<std::size_t>(nScan)));
            for (; nCounted < nScan + nLength; ++nCounted) {
                if (nCounted + nLastOffset < nBase &&
                    at(base, nCounted + nLastOffset) == at(data, nCounted)) {
                    ++nOldScore;
                }
            }
            if ((nLength == nOldScore && nLength != 0) || nLength > nOldScore + 8) break;
            if (nScan + nLastOffset < nBase && at(base, nScan + nLastOffset) == at(data, nScan)) {
                --nOldScore;
            }
        }
        if (nLength == nOldScore && nScan != nData) continue;
        // Forwards from the last match: as long as at least half the bytes agree.
        int64_t nForward = 0;
        for (int64_t i = 0, nSame = 0, nBest = 0;
             nLastScan + i < nScan && nLastPosition + i < nBase;) {
            if (at(base, nLastPosition + i) == at(data, nLastScan + i)) ++nSame;
            ++i;
            if (nSame * 2 - i > nBest * 2 - nForward) {
                nBest = nSame;
                nForward = i;
            }
        }
        // Backwards from this match.
        int64_t nBackward = 0;
        if (nScan < nData) {
            for (int64_t i = 1, nSame = 0, nBest = 0; nScan >= nLastScan + i && nPosition >= i;
                 ++i) {
                if (at(base, nPosition - i) == at(data, nScan - i)) ++nSame;
                if (nSame * 2 - i > nBest * 2 - nBackward) {
                    nBest = nSame;
                    nBackward = i;
                }
            }
        }
        // Where the two overlap, the split that keeps the most agreeing bytes.
        if (nLastScan + nForward > nScan - nBackward) {
            const int64_t nOverlap = (nLastScan + nForward) - (nScan - nBackward);
            int64_t nSame = 0, nBest = 0, nSplit = 0;
            for (int64_t i = 0; i < nOverlap; ++i) {
                if (at(data, nLastScan + nForward - nOverlap + i) ==
                    at(base, nLastPosition + nForward - nOverlap + i)) {
                    ++nSame;
                }
                if (at(data, nScan - nBackward + i) == at(base, nPosition - nBackward + i)) {
                    --nSame;
                }
                if (nSame > nBest) {
                    nBest = nSame;
                    nSplit = i + 1;
                }
            }
            nForward += nSplit - nOverlap;
            nBackward -= nSplit;
        }
        for (int64_t i = 0; i < nForward; ++i) {
            added += static_cast<char>(static_cast<unsigned char>(at(data, nLastScan + i)) -
                                       static_cast<unsigned char>(at(base, nLastPosition + i)));
        }
        const int64_t nFresh = (nScan - nBackward) - (nLastScan + nForward);
        fresh.append(data.substr(static_cast<std::size_t>(nLastScan + nForward),
                                 static_cast<std::size_t>(nFresh)));
        PutVarint(steps, nForward);
        PutVarint(steps, nFresh);
        PutVarint(steps, (nPosition - nBackward) - (nLastPosition + nForward));
        nLastScan = nScan - nBackward;
        nLastPosition = nPosition - nBackward;
        nLastOffset = nPosition - nScan;
    }
    return ZstdFrame(steps) + ZstdFrame(added, {}, true) + ZstdFrame(fresh, base, true);
}

std::string DeltaFile(const std::vector<DeltaItem>& items,
                      const std::vector<std::string>& payloads) {
    std::string index;
    for (const DeltaItem& item : items) index += DeltaIndexLine(item);
    std::string delta(DELTA_HEADER);
    delta += ZstdFrame(index);
    for (const std::string& payload : payloads) delta += payload;
    return delta;
}

Expected<DeltaCounts> MakeDelta(const std::string& archivePath, const std::string& folder,
                                const std::string& baseFolder, const std::string& deltaPath,
                                const DeltaOptions& options, const std::set<std::string>& indexed) {
    ZipExtractor archive;
    if (!archive.Open(archivePath.c_str(), false)) {
        return Failure{archivePath, "not an archive, or a damaged one"};
    }
    DeltaCounts counts;
    // Without a single earlier file to patch, a delta would be the archive again.
    bool bAnyBase = false;
    for (bool bMore = archive.GoToFirstItem(); bMore && !bAnyBase; bMore = archive.GoToNextItem()) {
        ZipItemInfo info;
        std::error_code error;
        bAnyBase = archive.GetCurrentItemInfo(info) && !info.bFolder &&
                   std::filesystem::is_regular_file(
                       PathBelow(baseFolder, folder, ItemPath(info.szName)), error);
    }
    if (!bAnyBase) {
        counts.skipped = "no earlier file to patch";
        return counts;
    }
    std::vector<DeltaItem> items;
    std::vector<std::string> payloads;
    for (bool bMore = archive.GoToFirstItem(); bMore; bMore = archive.GoToNextItem()) {
        ZipItemInfo info;
        if (!archive.GetCurrentItemInfo(info)) return Failure{archivePath, "a damaged archive"};
        if (info.bFolder) continue;
        const std::string basePath = PathBelow(baseFolder, folder, ItemPath(info.szName));
        // An item too large to hold (or with such a base) is patched in windows;
        // one without a base then makes the archive go whole.
        if (info.nUncompressedSize > options.nHoldLimit ||
            SizeOfFile(basePath) > options.nHoldLimit) {
            const Expected<DataFile> base = OpenFileToRead(basePath);
            if (!base) {
                counts.skipped = "an item too large to hold, without a base";
                return counts;
            }
            DeltaItem item;
            item.method = DeltaMethod::WINDOWS;
            item.name = ItemPath(info.szName);
            item.nResultSize = info.nUncompressedSize;
            item.nBaseSize = (*base).Size();
            item.dwDosDate = info.dwDosDate;
            item.dwVersionMadeBy = info.dwVersion;
            item.dwExternalAttributes = info.dwExternalAttributes;
            Sha256Hash baseHash;
            if (Result hashed = HashFilePart(*base, 0, (*base).Size(), baseHash); !hashed) {
                return hashed.GetFailure();
            }
            item.baseSha256 = baseHash.HexDigest();
            WindowMaker windows(*base, options, DOWNLOAD_BUFFER_SIZE);
            if (Result streamed =
                    archive.StreamCurrentItem([&](const char* pData, std::size_t nSize) {
                        return windows.Take(pData, nSize);
                    });
                !streamed) {
                return Failure{archivePath, streamed.GetFailure().Text()};
            }
            Expected<std::string> payload = windows.Finish(item.resultSha256);
            if (!payload) return payload.GetFailure();
            if (payload->empty()) {
                counts.skipped = "larger than a delta the updater holds";
                return counts;
            }
            item.nPayloadSize = payload->size();
            items.push_back(item);
            payloads.push_back(std::move(*payload));
            ++counts.nWindowed;
            continue;
        }
        const Expected<std::string> data = archive.ReadCurrentItem(DELTA_FILE_LIMIT);
        if (!data) return Failure{archivePath, data.GetFailure().Text()};
        DeltaItem item;
        item.name = ItemPath(info.szName);
        item.nResultSize = data->size();
        item.dwDosDate = info.dwDosDate;
        item.dwVersionMadeBy = info.dwVersion;
        item.dwExternalAttributes = info.dwExternalAttributes;
        const Expected<std::string> base = ReadSmallFile(basePath.c_str(), DELTA_FILE_LIMIT);
        std::string payload;
        const bool bIndexed = indexed.count(ItemPath(folder + info.szName)) != 0;
        if (base && *base == *data) {
            // The signed index says what the player's file holds: such a file of
            // this archive's is left out, any other one named.
            ++counts.nSame;
            if (bIndexed) continue;
            item.method = DeltaMethod::SAME;
            item.nBaseSize = base->size();
            items.push_back(item);
            payloads.emplace_back();
            continue;
        }
        if (!bIndexed) item.resultSha256 = Sha256Hex(*data);
        item.method = DeltaMethod::WHOLE;
        payload = ZstdFrame(*data);
        if (base && !data->empty()) {
            const auto consider = [&](DeltaMethod method, std::string candidate) {
                if (!candidate.empty() && candidate.size() < payload.size() &&
                    static_cast<double>(candidate.size()) <
                        PATCH_SHARE *
                            static_cast<double>(std::max<uint64_t>(info.nCompressedSize, 1))) {
                    item.method = method;
                    payload = std::move(candidate);
                }
            };
            consider(DeltaMethod::ZSTD, ZstdFrame(*data, *base, true));
            if (base->size() <= DIFF_BASE_LIMIT) {
                consider(DeltaMethod::DIFF, DiffPayload(*base, *data));
                if (IsMachineCode(*data)) {
                    std::string filteredBase = *base;
                    std::string filteredData = *data;
                    FilterX86(filteredBase, true);
                    FilterX86(filteredData, true);
                    consider(DeltaMethod::XDIFF, DiffPayload(filteredBase, filteredData));
                }
            }
            if (item.method != DeltaMethod::WHOLE) {
                item.nBaseSize = base->size();
                if (!bIndexed) item.baseSha256 = Sha256Hex(*base);
            }
        }
        (item.method == DeltaMethod::WHOLE  ? counts.nWhole
         : item.method == DeltaMethod::ZSTD ? counts.nPatched
                                            : counts.nDiffed)++;
        item.nPayloadSize = payload.size();
        items.push_back(item);
        payloads.push_back(std::move(payload));
    }
    const std::string delta = DeltaFile(items, payloads);
    std::error_code error;
    if (delta.size() >= std::filesystem::file_size(archivePath, error) && !error) {
        counts.skipped = "not smaller than the archive";
        return counts;
    }
    if (delta.size() > DOWNLOAD_BUFFER_SIZE) {  // the updater holds a delta in memory
        counts.skipped = "larger than a delta the updater holds";
        return counts;
    }
    if (Result written = ReplaceWholeFile(deltaPath, delta); !written) return written.GetFailure();
    counts.nBytes = delta.size();
    counts.bMade = true;
    return counts;
}

}  // namespace corvana
