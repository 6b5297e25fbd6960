#include <unistd.h>

#include "platform/own_path.h"

namespace corvana {

std::string GetOwnProgramPath() {
    char szPath[OWN_PATH_BUFFER_SIZE];
    const ssize_t nLength = readlink("/proc/self/exe", szPath, sizeof szPath);
    if (nLength <= 0 || static_cast<std::size_t>(nLength) >= sizeof szPath) return {};
    return std::string(szPath, static_cast<std::size_t>(nLength));
}

}  // namespace corvana
