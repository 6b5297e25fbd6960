// The program's string table. Texts are bytes in the system code page
// (CP949 on Windows, UTF-8 on Linux) and are loaded by id when shown.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "res/resource.h"

namespace corvana {

struct TextEntry {
    int nId;
    const char* pszText;  // UTF-8
};

// The UTF-8 source of the table, sorted by id (generated from res/strings.txt),
// and its English translation with the same ids (res/strings.en.txt).
extern const TextEntry kTextSource[];
extern const std::size_t kTextSourceCount;
extern const TextEntry kTextSourceEnglish[];
extern const std::size_t kTextSourceEnglishCount;

// Linux: whether a message locale (the value of LC_ALL, LC_MESSAGES or LANG) names
// a language the Korean texts are not for: neither Korean, nor C or POSIX, nor
// empty. Then the English table is shown. (Windows shows its resources.)
bool IsOtherLanguage(std::string_view locale);

// The text of entry nId in the system code page; empty when there is none.
std::string LoadText(int nId);

}  // namespace corvana
