// The delta reader and the rebuild over any bytes a delta may hold.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "archive/delta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view delta(reinterpret_cast<const char*>(pData), nSize);
    const auto items = corvana::ReadDelta(delta);
    if (!items) return 0;
    // A base of its own for every item; a rebuild either fails or gives the size it names.
    const std::string base(4096, 'b');
    for (const corvana::DeltaItem& item : *items) {
        if ((item.resultSha256.size() != 64 && !item.resultSha256.empty()) || item.name.empty()) {
            __builtin_trap();
        }
        if (item.nResultSize > 1024 * 1024) continue;
        const auto result = corvana::RebuildItem(item, base);
        if (result && (*result).size() != item.nResultSize) __builtin_trap();
    }
    return 0;
}
