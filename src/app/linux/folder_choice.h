// The installation folder as typed at the terminal's prompt.
#pragma once

#include <string>
#include <vector>

#include "platform/failure.h"

namespace corvana {

// What a typed folder means: one pair of surrounding quotes dropped, a leading
// "~" (alone or before a "/") standing for $HOME, and a relative folder taken
// from the current one.
std::string ExpandTypedFolder(std::string text);

// The user's XDG base folders that programs may have to make ($XDG_DATA_HOME,
// ~/.local, ~/.local/share): made private to the user (see MakeFolders).
std::vector<std::string> UserBaseFolders();

// Makes the missing folders above folder (the XDG base folders among them
// private to the user) and checks that folder can be installed into.
Result PrepareInstallFolder(const std::string& folder);

}  // namespace corvana
