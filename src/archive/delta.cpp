#include "archive/delta.h"

#include "archive/sha256.h"

#include <zstd.h>

#include <charconv>
#include <cstring>
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

Expected<DeltaItem> ReadItem(std::string_view line) {
    const Failure bad{{}, "a delta index line that is not one: " + std::string(line.substr(0, 80))};
    const std::vector<std::string_view> fields = Fields(line, 10);
    if (fields.size() != 10) return bad;
    DeltaItem item;
    if (fields[0] == "same") {
        item.method = DeltaMethod::SAME;
    } else if (fields[0] == "whole") {
        item.method = DeltaMethod::WHOLE;
    } else if (fields[0] == "zstd") {
        item.method = DeltaMethod::ZSTD;
    } else if (fields[0] == "diff") {
        item.method = DeltaMethod::DIFF;
    } else {
        return bad;
    }
    if (item.method == DeltaMethod::WHOLE) {
        if (fields[1] != "-" || fields[2] != "-") return bad;
    } else if (!ReadSize(fields[1], item.nBaseSize) || !IsSha256Hex(fields[2])) {
        return bad;
    } else {
        item.baseSha256 = fields[2];
    }
    if (!ReadSize(fields[3], item.nResultSize) || !IsSha256Hex(fields[4]) ||
        !ReadSize(fields[5], item.nPayloadSize) || !ReadNumber(fields[6], item.dwDosDate) ||
        !ReadNumber(fields[7], item.dwVersionMadeBy) ||
        !ReadNumber(fields[8], item.dwExternalAttributes)) {
        return bad;
    }
    item.resultSha256 = fields[4];
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

Expected<std::vector<DeltaItem>> ReadDeltaIndex(std::string_view text) {
    std::vector<DeltaItem> items;
    std::set<std::string> names;
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        if (nEnd == std::string_view::npos) {
            return Failure{{}, "the last line of its index is cut"};
        }
        Expected<DeltaItem> item = ReadItem(text.substr(0, nEnd));
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
    if (!delta.starts_with(DELTA_HEADER)) return damaged;
    delta.remove_prefix(DELTA_HEADER.size());
    std::string_view frame;
    uint64_t nIndexSize = 0;
    if (!TakeFrame(delta, frame) || !FrameSize(frame, DELTA_INDEX_LIMIT, nIndexSize)) {
        return damaged;
    }
    std::string text(static_cast<std::size_t>(nIndexSize), '\0');
    if (!DecodeFrame(frame, {}, text.data(), text.size())) return damaged;
    const Expected<std::vector<DeltaItem>> index = ReadDeltaIndex(text);
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
    }
    if (!bBuilt) return Failure{item.name, "a damaged payload"};
    if (result.size() != item.nResultSize || Sha256Hex(result) != item.resultSha256) {
        return Failure{item.name, "the rebuilt item differs from the one the delta names"};
    }
    return result;
}

}  // namespace corvana
