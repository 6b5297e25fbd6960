#include "archive/delta.h"

#include "archive/sha256.h"
#include "platform/test_hooks.h"

#include <zstd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <set>

namespace corvana {

namespace {

// A field of decimal digits only, whose number fits T.
template <class T>
bool ReadNumber(std::string_view text, T& nNumber) {
    const auto [pEnd, error] = std::from_chars(text.data(), text.data() + text.size(), nNumber);
    return !text.empty() && error == std::errc() && pEnd == text.data() + text.size();
}

bool ReadSize(std::string_view text, uint64_t& nSize) {
    return ReadNumber(text, nSize) && nSize <= DELTA_FILE_LIMIT;
}

// The fields of one line, split at its tabs; the last takes the rest.
std::vector<std::string_view> Fields(std::string_view line, std::size_t nCount) {
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < nCount) {
        const std::size_t nTab = line.find('\t');
        if (nTab == std::string_view::npos) break;
        fields.push_back(line.substr(0, nTab));
        line.remove_prefix(nTab + 1);
    }
    fields.push_back(line);
    return fields;
}

constexpr const char* METHOD_NAMES[] = {"same", "whole", "zstd", "diff", "xdiff", "windows"};

Expected<DeltaItem> ReadItem(std::string_view line, int nVersion) {
    const Failure bad{{}, "a delta index line that is not one: " + std::string(line.substr(0, 80))};
    const std::vector<std::string_view> fields = Fields(line, 10);
    if (fields.size() != 10) return bad;
    DeltaItem item;
    const auto* const pMethod =
        std::find(std::begin(METHOD_NAMES), std::end(METHOD_NAMES), fields[0]);
    if (pMethod == std::end(METHOD_NAMES)) return bad;
    item.method = static_cast<DeltaMethod>(pMethod - std::begin(METHOD_NAMES));
    if ((item.method == DeltaMethod::XDIFF || item.method == DeltaMethod::WINDOWS) &&
        nVersion < 3) {
        return bad;
    }
    // A windowed item is never held whole: its base and result may be of any size.
    const bool bWindows = item.method == DeltaMethod::WINDOWS;
    const auto readSize = [bWindows](std::string_view text, uint64_t& nSize) {
        return bWindows ? ReadNumber(text, nSize) && nSize <= (uint64_t{1} << 62)
                        : ReadSize(text, nSize);
    };
    // From version 3 a hash may be "-": the result's is then the set's signed
    // index of installed files (the caller's to fill in), and a base without one
    // is checked by the rebuild's result. An item in windows names both.
    const auto readHash = [&](std::string_view text, std::string& hash) {
        if (text == "-") return nVersion >= 3 && !bWindows;
        hash = text;
        return IsSha256Hex(text);
    };
    if (item.method == DeltaMethod::WHOLE) {
        if (fields[1] != "-" || fields[2] != "-") return bad;
    } else if (!readSize(fields[1], item.nBaseSize) || !readHash(fields[2], item.baseSha256)) {
        return bad;
    }
    if (!readSize(fields[3], item.nResultSize) || !readHash(fields[4], item.resultSha256) ||
        !ReadSize(fields[5], item.nPayloadSize) || !ReadNumber(fields[6], item.dwDosDate) ||
        !ReadNumber(fields[7], item.dwVersionMadeBy) ||
        !ReadNumber(fields[8], item.dwExternalAttributes)) {
        return bad;
    }
    if (item.method == DeltaMethod::SAME &&
        (item.nBaseSize != item.nResultSize || item.baseSha256 != item.resultSha256 ||
         item.nPayloadSize != 0)) {
        return bad;
    }
    // A name of printable characters; whether it may be written is the install's check.
    const std::string_view name = fields[9];
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return bad;
    }
    if (name.empty() || name.back() == '/') return bad;
    item.name = name;
    return item;
}

// Takes one Zstandard frame from the front of data.
bool TakeFrame(std::string_view& data, std::string_view& frame) {
    const std::size_t nSize = ZSTD_findFrameCompressedSize(data.data(), data.size());
    if (ZSTD_isError(nSize)) return false;
    frame = data.substr(0, nSize);
    data.remove_prefix(nSize);
    return true;
}

// The content size a frame states, when it states one of at most nLimit bytes.
bool FrameSize(std::string_view frame, uint64_t nLimit, uint64_t& nSize) {
    nSize = ZSTD_getFrameContentSize(frame.data(), frame.size());
    return nSize != ZSTD_CONTENTSIZE_UNKNOWN && nSize != ZSTD_CONTENTSIZE_ERROR && nSize <= nLimit;
}

// Decompresses a frame into exactly out's bytes, with prefix (if any) as its reference.
bool DecodeFrame(std::string_view frame, std::string_view prefix, char* pOut, std::size_t nOut) {
    ZSTD_DCtx* pContext = ZSTD_createDCtx();
    if (pContext == nullptr) return false;
    // The window a frame may use is bounded by the largest file the rebuild takes.
    std::size_t nDone = ZSTD_DCtx_setParameter(pContext, ZSTD_d_windowLogMax, 28);
    if (!ZSTD_isError(nDone) && !prefix.empty()) {
        nDone = ZSTD_DCtx_refPrefix(pContext, prefix.data(), prefix.size());
    }
    if (!ZSTD_isError(nDone)) {
        nDone = ZSTD_decompressDCtx(pContext, pOut, nOut, frame.data(), frame.size());
    }
    ZSTD_freeDCtx(pContext);
    return !ZSTD_isError(nDone) && nDone == nOut;
}

// Reads one zigzag-coded varint of at most 63 bits.
bool ReadVarint(std::string_view& data, int64_t& nValue) {
    uint64_t nCoded = 0;
    for (int nShift = 0; nShift < 63; nShift += 7) {
        if (data.empty()) return false;
        const auto byte = static_cast<unsigned char>(data.front());
        data.remove_prefix(1);
        nCoded |= uint64_t{byte & 0x7Fu} << nShift;
        if ((byte & 0x80) == 0) {
            if (nCoded >> 62 != 0) return false;
            nValue = (nCoded & 1) != 0 ? -static_cast<int64_t>(nCoded >> 1) - 1
                                       : static_cast<int64_t>(nCoded >> 1);
            return true;
        }
    }
    return false;
}

// Rebuilds a DIFF item into result (its size already the item's). The bytes to add
// are decoded into result's tail and moved forward to their places as the steps
// go, which never overtakes what is still to be moved; the new bytes have their
// own buffer.
bool ApplyDiff(std::string_view payload, std::string_view base, std::string& result) {
    std::string_view steps;
    std::string_view added;
    std::string_view fresh;
    if (!TakeFrame(payload, steps) || !TakeFrame(payload, added) || !TakeFrame(payload, fresh) ||
        !payload.empty()) {
        return false;
    }
    uint64_t nSteps = 0;
    uint64_t nAdded = 0;
    uint64_t nFresh = 0;
    if (!FrameSize(steps, DELTA_FILE_LIMIT, nSteps) || !FrameSize(added, result.size(), nAdded) ||
        !FrameSize(fresh, result.size(), nFresh) || nAdded + nFresh != result.size()) {
        return false;
    }
    std::string stepBytes(static_cast<std::size_t>(nSteps), '\0');
    std::string freshBytes(static_cast<std::size_t>(nFresh), '\0');
    const std::size_t nAddStart = result.size() - static_cast<std::size_t>(nAdded);
    if (!DecodeFrame(steps, {}, stepBytes.data(), stepBytes.size()) ||
        !DecodeFrame(added, {}, result.data() + nAddStart, static_cast<std::size_t>(nAdded)) ||
        !DecodeFrame(fresh, base, freshBytes.data(), freshBytes.size())) {
        return false;
    }
    std::string_view rest = stepBytes;
    const auto nBase = static_cast<int64_t>(base.size());
    std::size_t nOut = 0;    // where the next byte of the result goes
    std::size_t nAdd = 0;    // the next byte to add, counted from nAddStart
    std::size_t nTaken = 0;  // the next new byte
    int64_t nPlace = 0;      // the place in the base
    while (!rest.empty()) {
        int64_t nAddCount = 0;
        int64_t nFreshCount = 0;
        int64_t nMove = 0;
        if (!ReadVarint(rest, nAddCount) || !ReadVarint(rest, nFreshCount) ||
            !ReadVarint(rest, nMove) || nAddCount < 0 || nFreshCount < 0 ||
            static_cast<uint64_t>(nAddCount) > nAdded - nAdd ||
            static_cast<uint64_t>(nFreshCount) > nFresh - nTaken ||
            (nAddCount > 0 && (nPlace < 0 || nAddCount > nBase - nPlace))) {
            return false;
        }
        const auto nCount = static_cast<std::size_t>(nAddCount);
        char* pOut = result.data() + nOut;
        std::memmove(pOut, result.data() + nAddStart + nAdd, nCount);
        const char* pBase = base.data() + nPlace;
        for (std::size_t i = 0; i < nCount; ++i) {
            pOut[i] = static_cast<char>(static_cast<unsigned char>(pOut[i]) +
                                        static_cast<unsigned char>(pBase[i]));
        }
        nOut += nCount;
        nAdd += nCount;
        std::memcpy(result.data() + nOut, freshBytes.data() + nTaken,
                    static_cast<std::size_t>(nFreshCount));
        nOut += static_cast<std::size_t>(nFreshCount);
        nTaken += static_cast<std::size_t>(nFreshCount);
        nPlace += nAddCount;
        if (nMove > nBase || nMove < -nBase) return false;
        nPlace += nMove;
    }
    return nAdd == nAdded && nTaken == nFresh;
}

}  // namespace

Expected<std::vector<DeltaItem>> ReadDeltaIndex(std::string_view text, int nVersion) {
    std::vector<DeltaItem> items;
    std::set<std::string> names;
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        if (nEnd == std::string_view::npos) {
            return Failure{{}, "the last line of its index is cut"};
        }
        Expected<DeltaItem> item = ReadItem(text.substr(0, nEnd), nVersion);
        if (!item) return item.GetFailure();
        if (!names.insert((*item).name).second) {
            return Failure{{}, (*item).name + " is named twice in its index"};
        }
        items.push_back(*item);
        text.remove_prefix(nEnd + 1);
    }
    return items;
}

Expected<std::vector<DeltaItem>> ReadDelta(std::string_view delta) {
    const Failure damaged{{}, "not a delta, or a damaged one"};
    const int nVersion = delta.starts_with(DELTA_HEADER)     ? 3
                         : delta.starts_with(DELTA_HEADER_2) ? 2
                                                             : 0;
    if (nVersion == 0) return damaged;
    delta.remove_prefix(DELTA_HEADER.size());
    std::string_view frame;
    uint64_t nIndexSize = 0;
    if (!TakeFrame(delta, frame) || !FrameSize(frame, DELTA_INDEX_LIMIT, nIndexSize)) {
        return damaged;
    }
    std::string text(static_cast<std::size_t>(nIndexSize), '\0');
    if (!DecodeFrame(frame, {}, text.data(), text.size())) return damaged;
    const Expected<std::vector<DeltaItem>> index = ReadDeltaIndex(text, nVersion);
    if (!index) return index.GetFailure();
    std::vector<DeltaItem> items = *index;
    for (DeltaItem& item : items) {
        if (item.nPayloadSize > delta.size()) return damaged;
        item.payload = delta.substr(0, static_cast<std::size_t>(item.nPayloadSize));
        delta.remove_prefix(item.payload.size());
    }
    if (!delta.empty()) return damaged;
    return items;
}

Expected<std::string> RebuildItem(const DeltaItem& item, std::string_view base) {
    InjectAllocationFailure("rebuild");
    std::string result(static_cast<std::size_t>(item.nResultSize), '\0');
    bool bBuilt = false;
    switch (item.method) {
        case DeltaMethod::SAME:
            result = base;
            bBuilt = item.payload.empty();
            break;
        case DeltaMethod::WHOLE:
        case DeltaMethod::ZSTD: {
            std::string_view payload = item.payload;
            std::string_view frame;
            bBuilt =
                TakeFrame(payload, frame) && payload.empty() &&
                DecodeFrame(frame, item.method == DeltaMethod::ZSTD ? base : std::string_view(),
                            result.data(), result.size());
            break;
        }
        case DeltaMethod::DIFF:
            bBuilt = ApplyDiff(item.payload, base, result);
            break;
        case DeltaMethod::XDIFF: {
            std::string filtered(base);
            FilterX86(filtered, true);
            bBuilt = ApplyDiff(item.payload, filtered, result);
            if (bBuilt) FilterX86(result, false);
            break;
        }
        case DeltaMethod::WINDOWS:
            return Failure{item.name, "an item rebuilt in windows, never whole"};
    }
    if (!bBuilt) return Failure{item.name, "a damaged payload"};
    // An unchanged item without its hash is checked by the caller against the
    // index; any other item without one is never taken.
    const bool bChecked = !item.resultSha256.empty() || item.method != DeltaMethod::SAME;
    if (result.size() != item.nResultSize || (bChecked && Sha256Hex(result) != item.resultSha256)) {
        return Failure{item.name, "the rebuilt item differs from the one the delta names"};
    }
    return result;
}

Result ReadFully(const ReadAtFunction& read, uint64_t nOffset, char* pOut, std::size_t nSize) {
    for (std::size_t nDone = 0; nDone < nSize;) {
        const Expected<std::size_t> got = read(nOffset + nDone, pOut + nDone, nSize - nDone);
        if (!got) return got.GetFailure();
        if (*got == 0) return Failure{{}, "the file ended early"};
        nDone += *got;
    }
    return {};
}

Result RebuildWindows(const DeltaItem& item, const ReadAtFunction& readBase,
                      const WriteFunction& write) {
    const Failure damaged{item.name, "a damaged payload"};
    std::string_view data = item.payload;
    int64_t nWindow = 0;
    if (item.method != DeltaMethod::WINDOWS || !ReadVarint(data, nWindow) || nWindow <= 0 ||
        static_cast<uint64_t>(nWindow) > DELTA_WINDOW_LIMIT) {
        return damaged;
    }
    // Whether [nOffset, nOffset + nLength) lies within the base.
    const auto inBase = [&item](int64_t nOffset, int64_t nLength) {
        return nOffset >= 0 && nLength >= 0 && static_cast<uint64_t>(nOffset) <= item.nBaseSize &&
               static_cast<uint64_t>(nLength) <= item.nBaseSize - static_cast<uint64_t>(nOffset);
    };
    Sha256Hash hash;
    std::string window;
    std::string reference;
    for (uint64_t nDone = 0; nDone < item.nResultSize;) {
        window.resize(static_cast<std::size_t>(
            std::min<uint64_t>(static_cast<uint64_t>(nWindow), item.nResultSize - nDone)));
        int64_t nKind = 0;
        int64_t nOffset = 0;
        int64_t nLength = 0;
        int64_t nFrame = 0;
        if (!ReadVarint(data, nKind)) return damaged;
        if (nKind == 0) {
            if (!ReadVarint(data, nOffset) ||
                !inBase(nOffset, static_cast<int64_t>(window.size()))) {
                return damaged;
            }
            if (Result read = ReadFully(readBase, static_cast<uint64_t>(nOffset), window.data(),
                                        window.size());
                !read) {
                return read;
            }
        } else if (nKind == 1 || nKind == 2) {
            if (nKind == 1 && (!ReadVarint(data, nOffset) || !ReadVarint(data, nLength) ||
                               !inBase(nOffset, nLength) ||
                               static_cast<uint64_t>(nLength) > 2 * DELTA_WINDOW_LIMIT)) {
                return damaged;
            }
            if (!ReadVarint(data, nFrame) || nFrame < 0 ||
                static_cast<uint64_t>(nFrame) > data.size()) {
                return damaged;
            }
            reference.resize(static_cast<std::size_t>(nLength));
            if (Result read = ReadFully(readBase, static_cast<uint64_t>(nOffset), reference.data(),
                                        reference.size());
                !read) {
                return read;
            }
            if (!DecodeFrame(data.substr(0, static_cast<std::size_t>(nFrame)), reference,
                             window.data(), window.size())) {
                return damaged;
            }
            data.remove_prefix(static_cast<std::size_t>(nFrame));
        } else {
            return damaged;
        }
        hash.Update(window);
        if (Result written = write(window); !written) return written;
        nDone += window.size();
    }
    if (!data.empty()) return damaged;
    if (hash.HexDigest() != item.resultSha256) {
        return Failure{item.name, "the rebuilt item differs from the one the delta names"};
    }
    return {};
}

std::string DeltaIndexLine(const DeltaItem& item) {
    const auto hashOr = [](const std::string& hash) {
        return hash.empty() ? std::string("-") : hash;
    };
    const bool bBase = item.method != DeltaMethod::WHOLE;
    return std::string(METHOD_NAMES[static_cast<int>(item.method)]) + '\t' +
           (bBase ? std::to_string(item.nBaseSize) : "-") + '\t' +
           (bBase ? hashOr(item.baseSha256) : "-") + '\t' + std::to_string(item.nResultSize) +
           '\t' + hashOr(item.resultSha256) + '\t' + std::to_string(item.nPayloadSize) + '\t' +
           std::to_string(item.dwDosDate) + '\t' + std::to_string(item.dwVersionMadeBy) + '\t' +
           std::to_string(item.dwExternalAttributes) + '\t' + item.name + '\n';
}

void FilterX86(std::string& data, bool bEncode) {
    // An operand whose top byte is 00 or FF reaches within 16 MiB: its low 24
    // bits become the target's place (mod 2^24), the top byte, which says so,
    // stays. Which operands are turned depends only on bytes left as they are,
    // so decoding finds the same ones.
    const std::size_t nSize = data.size();
    for (std::size_t i = 0; i + 5 <= nSize;) {
        const auto opcode = static_cast<unsigned char>(data[i]);
        const auto top = static_cast<unsigned char>(data[i + 4]);
        if ((opcode != 0xE8 && opcode != 0xE9) || (top != 0x00 && top != 0xFF)) {
            ++i;
            continue;
        }
        uint32_t nLow = 0;
        for (int k = 0; k < 3; ++k) {
            nLow |= uint32_t{static_cast<unsigned char>(data[i + 1 + k])} << (8 * k);
        }
        const auto nPlace = static_cast<uint32_t>(i + 5);
        nLow = (bEncode ? nLow + nPlace : nLow - nPlace) & 0xFFFFFF;
        for (int k = 0; k < 3; ++k) data[i + 1 + k] = static_cast<char>((nLow >> (8 * k)) & 0xFF);
        i += 5;
    }
}

}  // namespace corvana
