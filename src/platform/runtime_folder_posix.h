// The user's private runtime folder on Linux, which holds the window's socket and
// the named mutexes' lock files.
#pragma once

#ifdef _WIN32
#error "Windows keeps named mutexes and windows per session by itself"
#endif

#include <string>

namespace corvana {

// The user's private runtime folder, which holds the endpoints and the mutexes'
// lock files: $XDG_RUNTIME_DIR when it is the user's own 0700 folder, else
// corvana-runtime-UID in $TMPDIR (or /tmp), made or narrowed to 0700 when it is
// the user's, else corvana-runtime in the user's cache folder. Empty, with cause
// set, when none of them can be had.
std::string PrivateRuntimeFolder(std::string& cause);

}  // namespace corvana
