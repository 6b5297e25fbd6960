#include <windows.h>

#include "platform/own_path.h"

namespace corvana {

std::string GetOwnProgramPath() {
    char szPath[OWN_PATH_BUFFER_SIZE];
    const DWORD nLength = GetModuleFileNameA(nullptr, szPath, sizeof szPath);
    // A path that fills the buffer was cut by the system: treat it as unreadable.
    if (nLength == 0 || nLength >= sizeof szPath) return {};
    return std::string(szPath, nLength);
}

}  // namespace corvana
