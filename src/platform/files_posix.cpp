#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace corvana {

bool WriteWholeFile(const char* pszPath, const char* pData, uint32_t dwSize, bool /*bHidden*/) {
    const int fd = open(pszPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool bOk = true;
    for (uint32_t dwDone = 0; dwDone < dwSize;) {
        const ssize_t nWritten = write(fd, pData + dwDone, dwSize - dwDone);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) {
            bOk = false;
            break;
        }
        dwDone += static_cast<uint32_t>(nWritten);
    }
    return close(fd) == 0 && bOk;
}

}  // namespace corvana
