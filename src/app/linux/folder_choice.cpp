#include "app/linux/folder_choice.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corvana {

namespace {

// The XDG base folders a user's programs may create: private to the user.
bool IsBaseFolder(const std::string& path) {
    const char* pszHome = std::getenv("HOME");
    const char* pszData = std::getenv("XDG_DATA_HOME");
    const std::string home = pszHome != nullptr ? pszHome : "";
    return (pszData != nullptr && path == pszData) ||
           (!home.empty() && (path == home + "/.local" || path == home + "/.local/share"));
}

}  // namespace

std::string ExpandTypedFolder(std::string text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
    }
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && (text == "~" || text.starts_with("~/"))) {
        text = pszHome + text.substr(1);
    }
    return text;
}

std::string MakeFoldersAbove(const std::string& path) {
    // Each missing level above the path, from the top.
    for (std::size_t nSlash = path.find('/', 1); nSlash != std::string::npos;
         nSlash = path.find('/', nSlash + 1)) {
        const std::string level = path.substr(0, nSlash);
        struct stat info {};
        if (stat(level.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) return level + ": not a folder";
            continue;
        }
        if (mkdir(level.c_str(), IsBaseFolder(level) ? 0700 : 0755) != 0) {
            return level + ": " + std::strerror(errno);
        }
    }
    return {};
}

std::string PrepareInstallFolder(const std::string& folder) {
    if (std::string problem = MakeFoldersAbove(folder); !problem.empty()) return problem;
    struct stat info {};
    const bool bExists = stat(folder.c_str(), &info) == 0;
    if (bExists && !S_ISDIR(info.st_mode)) return folder + ": not a folder";
    const std::string writable = bExists ? folder : folder.substr(0, folder.rfind('/'));
    if (access(writable.empty() ? "/" : writable.c_str(), W_OK | X_OK) != 0) {
        return writable + ": " + std::strerror(errno);
    }
    return {};
}

}  // namespace corvana
