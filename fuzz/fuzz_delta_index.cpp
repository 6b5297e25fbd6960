// The delta index reader over any bytes a delta archive may hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "archive/delta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view text(reinterpret_cast<const char*>(pData), nSize);
    const auto index = corvana::ReadDeltaIndex(text);
    if (!index) return 0;
    // Every item it takes holds hashes of the right form and sizes within the limit.
    for (const corvana::DeltaItem& item : *index) {
        if (item.resultSha256.size() != 64 || item.nResultSize > corvana::DELTA_FILE_LIMIT ||
            item.name.empty()) {
            __builtin_trap();
        }
    }
    return 0;
}
