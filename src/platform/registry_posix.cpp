// Registry keys as folders: a key is a folder, its subkeys are sub-folders and
// its values files. Handles are heap-allocated absolute folder paths; the two
// predefined keys are fixed objects.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace corvana {

namespace {

constexpr long REG_OK = 0;
constexpr long REG_NOT_FOUND = 2;      // ERROR_FILE_NOT_FOUND
constexpr long REG_ACCESS_DENIED = 5;  // ERROR_ACCESS_DENIED
constexpr long REG_MORE_DATA = 234;    // ERROR_MORE_DATA
constexpr long REG_INVALID = 6;        // ERROR_INVALID_HANDLE

struct Key {
    const char* pszHive;  // set for the predefined keys
    std::string strPath;  // set for opened keys
};

Key g_localMachine{"HKEY_LOCAL_MACHINE", {}};
Key g_currentUser{"HKEY_CURRENT_USER", {}};

std::string RegistryRoot() {
    if (const char* pszRoot = std::getenv("CORVANA_REGISTRY_ROOT"); pszRoot && *pszRoot) {
        return pszRoot;
    }
    if (const char* pszConfig = std::getenv("XDG_CONFIG_HOME"); pszConfig && *pszConfig) {
        return std::string(pszConfig) + "/corvana/registry";
    }
    const char* pszHome = std::getenv("HOME");
    return std::string(pszHome ? pszHome : "") + "/.config/corvana/registry";
}

std::string FolderOf(RegistryKey key) {
    const Key* pKey = static_cast<const Key*>(key);
    return pKey->pszHive != nullptr ? RegistryRoot() + "/" + pKey->pszHive : pKey->strPath;
}

// parent\a\b as a folder path ('\' separates levels).
std::string Resolve(RegistryKey parent, const char* pszPath) {
    std::string folder = FolderOf(parent);
    std::string path = pszPath;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (!path.empty()) folder += "/" + path;
    return folder;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

bool IsFolder(const std::string& path, struct stat& info) {
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> Subfolders(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* pDir = opendir(folder.c_str())) {
        while (const dirent* pEntry = readdir(pDir)) {
            const std::string name = pEntry->d_name;
            struct stat info {};
            if (name != "." && name != ".." && IsFolder(JoinPath(folder, name), info)) {
                names.push_back(name);
            }
        }
        closedir(pDir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

RegistryKey RegistryLocalMachine() { return &g_localMachine; }
RegistryKey RegistryCurrentUser() { return &g_currentUser; }

long RegistryOpenFull(RegistryKey parent, const char* pszPath, RegistryKey* pKey) {
    *pKey = nullptr;
    if (parent == nullptr) return REG_INVALID;
    const std::string folder = Resolve(parent, pszPath);
    struct stat info {};
    if (!IsFolder(folder, info)) return REG_NOT_FOUND;
    if ((info.st_mode & S_IWUSR) == 0) return REG_ACCESS_DENIED;
    *pKey = new Key{nullptr, folder};
    return REG_OK;
}

long RegistryCreate(RegistryKey parent, const char* pszPath, RegistryKey* pKey) {
    *pKey = nullptr;
    if (parent == nullptr) return REG_INVALID;
    const std::string folder = Resolve(parent, pszPath);
    for (std::size_t nSlash = 1; nSlash != std::string::npos;) {
        nSlash = folder.find('/', nSlash + 1);
        const std::string level = folder.substr(0, nSlash);
        if (mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) return REG_ACCESS_DENIED;
    }
    *pKey = new Key{nullptr, folder};
    return REG_OK;
}

long RegistryEnumKey(RegistryKey key, uint32_t nIndex, char* pszName, uint32_t dwSize) {
    if (key == nullptr) return REG_INVALID;
    const std::vector<std::string> names = Subfolders(FolderOf(key));
    if (nIndex >= names.size()) return REGISTRY_NO_MORE_ITEMS;
    if (names[nIndex].size() >= dwSize) return REG_MORE_DATA;
    std::memcpy(pszName, names[nIndex].c_str(), names[nIndex].size() + 1);
    return REG_OK;
}

long RegistryClose(RegistryKey key) {
    if (key == nullptr) return REG_INVALID;
    if (key != &g_localMachine && key != &g_currentUser) delete static_cast<Key*>(key);
    return REG_OK;
}

long RegistryDelete(RegistryKey parent, const char* pszPath) {
    if (parent == nullptr) return REG_INVALID;
    const std::string folder = Resolve(parent, pszPath);
    struct stat info {};
    if (!IsFolder(folder, info)) return REG_NOT_FOUND;
    if (!Subfolders(folder).empty()) return REG_ACCESS_DENIED;  // a key with subkeys stays
    if (DIR* pDir = opendir(folder.c_str())) {                  // its values go with it
        while (const dirent* pEntry = readdir(pDir)) {
            const std::string name = pEntry->d_name;
            if (name != "." && name != "..") unlink(JoinPath(folder, name).c_str());
        }
        closedir(pDir);
    }
    return rmdir(folder.c_str()) == 0 ? REG_OK : REG_ACCESS_DENIED;
}

}  // namespace corvana
