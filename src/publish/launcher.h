// The desktop launcher a patch set carries beside the Linux updater: its entry
// and its icons in the hicolor theme, which the updater registers for the user.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvana {

struct LauncherIcon {
    int nSize;
    const unsigned char* pData;
    unsigned nBytes;
};

extern const LauncherIcon kLauncherIcons[];
extern const unsigned kLauncherIconCount;

// The program the launcher starts, which a packed folder must hold for it.
inline constexpr const char* LINUX_UPDATER = "corvana-updater";

// The launcher's files, as item names and their bytes: the entry
// (corvana-updater.desktop) and an icon of each size.
std::vector<std::pair<std::string, std::string>> LauncherFiles();

}  // namespace corvana
