// Whether an archive item's stored name stays inside the folder it is unpacked into.
#pragma once

#include <string_view>

namespace corvana {

enum class NameRules { POSIX, WINDOWS };

// False for a name that could leave the target folder: a ".." component, an
// absolute path or leading separator, a drive letter prefix ("X:"), a UNC
// prefix; with Windows rules also a reserved device name (CON, NUL, COM1, ...,
// with or without an extension) and any ':'. Both '/' and '\' separate folders.
bool IsSafeItemName(std::string_view name, NameRules rules);

// The rules of the system the program runs on.
bool IsSafeItemName(std::string_view name);

}  // namespace corvana
