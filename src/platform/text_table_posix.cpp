#include <algorithm>

#include "platform/text_table.h"

namespace corvana {

std::string LoadText(int nId) {
    const TextEntry* pEnd = kTextSource + kTextSourceCount;
    const TextEntry* pEntry = std::lower_bound(
        kTextSource, pEnd, nId, [](const TextEntry& entry, int id) { return entry.nId < id; });
    if (pEntry == pEnd || pEntry->nId != nId) return {};
    return pEntry->pszText;
}

}  // namespace corvana
