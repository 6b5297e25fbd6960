#include <algorithm>
#include <cstdlib>

#include "platform/text_table.h"

namespace corvana {

namespace {

// The message locale: the first of LC_ALL, LC_MESSAGES and LANG that is set.
bool UsesEnglish() {
    static const bool bEnglish = [] {
        for (const char* pszName : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* pszValue = std::getenv(pszName);
            if (pszValue != nullptr && *pszValue != '\0') return IsOtherLanguage(pszValue);
        }
        return false;
    }();
    return bEnglish;
}

}  // namespace

bool IsOtherLanguage(std::string_view locale) {
    return !(locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.") ||
             locale.starts_with("ko"));
}

std::string LoadText(int nId) {
    const TextEntry* pBegin = UsesEnglish() ? kTextSourceEnglish : kTextSource;
    const TextEntry* pEnd = pBegin + (UsesEnglish() ? kTextSourceEnglishCount : kTextSourceCount);
    const TextEntry* pEntry = std::lower_bound(
        pBegin, pEnd, nId, [](const TextEntry& entry, int id) { return entry.nId < id; });
    if (pEntry == pEnd || pEntry->nId != nId) return {};
    return pEntry->pszText;
}

}  // namespace corvana
