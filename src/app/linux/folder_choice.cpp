#include "app/linux/folder_choice.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/files.h"

namespace corvana {

std::vector<std::string> UserBaseFolders() {
    std::vector<std::string> folders;
    if (const char* pszData = std::getenv("XDG_DATA_HOME")) folders.emplace_back(pszData);
    if (const char* pszHome = std::getenv("HOME"); pszHome != nullptr && *pszHome != '\0') {
        folders.push_back(std::string(pszHome) + "/.local");
        folders.push_back(std::string(pszHome) + "/.local/share");
    }
    return folders;
}

std::string ExpandTypedFolder(std::string text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
    }
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && (text == "~" || text.starts_with("~/"))) {
        text = pszHome + text.substr(1);
    }
    // A relative folder is taken from the current one: the installation's paths
    // (the desktop launcher's among them) are absolute.
    if (!text.empty() && !text.starts_with('/')) {
        if (char* pszHere = getcwd(nullptr, 0)) {
            text = std::string(pszHere) + (std::string_view(pszHere) == "/" ? "" : "/") + text;
            std::free(pszHere);
        }
    }
    return text;
}

Result PrepareInstallFolder(const std::string& folder) {
    if (Result made = MakeFolders(folder, UserBaseFolders()); !made) return made;
    const PathKind kind = GetPathKind(folder.c_str());
    if (kind == PathKind::FILE) return Failure{folder, "not a folder"};
    const std::string writable =
        kind == PathKind::FOLDER ? folder : folder.substr(0, folder.rfind('/'));
    if (access(writable.empty() ? "/" : writable.c_str(), W_OK | X_OK) != 0) {
        return SystemFailure(writable);
    }
    return {};
}

}  // namespace corvana
