// The program's string table. Texts are bytes in the system code page
// (CP949 on Windows, UTF-8 on Linux) and are loaded by id when shown.
#pragma once

#include <cstddef>
#include <string>

#include "res/resource.h"

namespace corvana {

struct TextEntry {
    int nId;
    const char* pszText;  // UTF-8
};

// The UTF-8 source of the table, sorted by id (generated from res/strings.txt).
extern const TextEntry kTextSource[];
extern const std::size_t kTextSourceCount;

// The text of entry nId in the system code page; empty when there is none.
std::string LoadText(int nId);

}  // namespace corvana
