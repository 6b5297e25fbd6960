// The desktop launcher of an installed client. A publisher who wants one ships
// corvana-updater.desktop beside the updater in the client files (with its icon
// in icons/hicolor/SIZE/apps/); after a run that installed into the folder and
// reached the client, the updater registers it for the user with the folder's
// absolute paths, since an entry cannot reliably find the folder it lies in.
#pragma once

#include <string>

#include "platform/failure.h"

namespace corvana {

inline constexpr const char* LAUNCHER_FILE = "corvana-updater.desktop";
inline constexpr const char* UPDATER_PROGRAM = "corvana-updater";

// The shipped entry made to start the updater of folder (which ends with '/')
// with -THIS_FOLDER: its Exec, TryExec and Path lines point into the folder, the
// rest is kept. With bRepair (an updater that can repair), a second action,
// "Verify and repair", starts it with --repair. Empty when the text has no
// [Desktop Entry] group.
std::string LauncherForFolder(const std::string& entry, const std::string& folder,
                              bool bRepair = false);

// Registers the launcher that folder holds: the entry in
// $XDG_DATA_HOME/applications, its icons in $XDG_DATA_HOME/icons/hicolor (files
// that are already the same are left alone). Nothing when the folder holds no
// launcher.
Result RegisterLauncher(const std::string& folder, bool bRepair = false);

}  // namespace corvana
