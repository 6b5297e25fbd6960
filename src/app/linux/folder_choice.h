// The installation folder as typed at the terminal's prompt.
#pragma once

#include <string>

namespace corvana {

// What a typed folder means: one pair of surrounding quotes dropped, and a
// leading "~" (alone or before a "/") standing for $HOME.
std::string ExpandTypedFolder(std::string text);

// Makes the missing folders above path (the XDG base folders among them private
// to the user). Empty when they are there; else why not, in one English line.
std::string MakeFoldersAbove(const std::string& path);

// Makes the missing folders above folder (the XDG base folders among them
// private to the user) and checks that folder can be installed into. Empty when
// it can; else why not, in one English line.
std::string PrepareInstallFolder(const std::string& folder);

}  // namespace corvana
