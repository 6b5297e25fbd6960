// Whether an archive item's stored name stays inside the folder it is unpacked into.
#pragma once

#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

enum class NameRules { POSIX, WINDOWS };

// False for a name that could leave the target folder: a ".." component, an
// absolute path or leading separator, a drive letter prefix ("X:"), a UNC
// prefix; with Windows rules also a reserved device name (CON, NUL, COM1, ...,
// with or without an extension) and any ':'. Both '/' and '\' separate folders.
bool IsSafeItemName(std::string_view name, NameRules rules);

// The rules of the system the program runs on.
bool IsSafeItemName(std::string_view name);

// The path an item's stored name is written to, relative to the folder it is
// unpacked into, as the extraction writes it: either separator separates
// folders, and empty and "." components are dropped ("./a\\b" is "a/b"). '/'
// separated: the index of installed files and the deltas name items so.
std::string ItemPath(std::string_view storedName);

// Why a file of a patch set may not be named path ('/' separated, relative to
// the installation folder) on every player's system: a component that is empty,
// "." or "..", with a control character, one of \ : * ? " < > |, a trailing dot or
// blank, or a Windows device name (CON, COM1, ...); a path longer than a Windows
// path. bTextOfAnyCodePage: a pre-made archive's name, not checked as UTF-8.
Result CheckPortableName(std::string_view path, bool bTextOfAnyCodePage = false);

}  // namespace corvana
