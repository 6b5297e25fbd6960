#include "archive/delta.h"

#include <sodium.h>
#include <zstd.h>

#include <charconv>
#include <set>

namespace corvana {

namespace {

bool IsSha256Hex(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool ReadSize(std::string_view text, uint64_t& nSize) {
    if (text.empty() || text.size() > 20) return false;
    const auto [pEnd, error] = std::from_chars(text.data(), text.data() + text.size(), nSize);
    return error == std::errc() && pEnd == text.data() + text.size() && nSize <= DELTA_FILE_LIMIT;
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
    const std::vector<std::string_view> fields = Fields(line, 6);
    if (fields.size() != 6) return bad;
    DeltaItem item;
    if (fields[0] == "same") {
        item.method = DeltaMethod::SAME;
    } else if (fields[0] == "whole") {
        item.method = DeltaMethod::WHOLE;
    } else if (fields[0] == "zstd") {
        item.method = DeltaMethod::ZSTD;
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
    if (!ReadSize(fields[3], item.nResultSize) || !IsSha256Hex(fields[4])) return bad;
    item.resultSha256 = fields[4];
    if (item.method == DeltaMethod::SAME &&
        (item.nBaseSize != item.nResultSize || item.baseSha256 != item.resultSha256)) {
        return bad;
    }
    // A name of printable characters; whether it may be written is the install's check.
    const std::string_view name = fields[5];
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return bad;
    }
    if (name.empty() || name.back() == '/') return bad;
    item.name = name;
    return item;
}

}  // namespace

Expected<std::vector<DeltaItem>> ReadDeltaIndex(std::string_view text) {
    const std::string header = std::string(DELTA_INDEX_HEADER) + "\n";
    if (!text.starts_with(header)) return Failure{DELTA_INDEX_NAME, "not a delta index"};
    text.remove_prefix(header.size());
    std::vector<DeltaItem> items;
    std::set<std::string> names;
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        if (nEnd == std::string_view::npos) {
            return Failure{DELTA_INDEX_NAME, "its last line is cut"};
        }
        Expected<DeltaItem> item = ReadItem(text.substr(0, nEnd));
        if (!item) return Failure{DELTA_INDEX_NAME, item.GetFailure().why};
        if (!names.insert((*item).name).second) {
            return Failure{DELTA_INDEX_NAME, (*item).name + " is named twice"};
        }
        items.push_back(*item);
        text.remove_prefix(nEnd + 1);
    }
    return items;
}

std::string Sha256Hex(std::string_view data) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    static constexpr char HEX[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += HEX[byte >> 4];
        hex += HEX[byte & 0xF];
    }
    return hex;
}

Expected<std::string> RebuildItem(const DeltaItem& item, std::string_view base,
                                  std::string_view patch) {
    const Failure differs{item.name, "the rebuilt item differs from the one the delta names"};
    std::string result(static_cast<std::size_t>(item.nResultSize), '\0');
    ZSTD_DCtx* pContext = ZSTD_createDCtx();
    if (pContext == nullptr) return Failure{item.name, "no memory to rebuild it"};
    // The window a patch may use is bounded by the largest file the rebuild takes.
    ZSTD_DCtx_setParameter(pContext, ZSTD_d_windowLogMax, 28);
    std::size_t nDone = ZSTD_DCtx_refPrefix(pContext, base.data(), base.size());
    if (!ZSTD_isError(nDone)) {
        nDone =
            ZSTD_decompressDCtx(pContext, result.data(), result.size(), patch.data(), patch.size());
    }
    ZSTD_freeDCtx(pContext);
    if (ZSTD_isError(nDone)) return Failure{item.name, "a damaged patch"};
    if (nDone != result.size() || Sha256Hex(result) != item.resultSha256) return differs;
    return result;
}

}  // namespace corvana
