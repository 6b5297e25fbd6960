#include "platform/files.h"

#include <algorithm>

#include "platform/platform.h"

namespace corvana {

Result ReplaceWholeFile(const std::string& path, std::string_view data, const char* pszTempFolder,
                        bool bFlushLater) {
    ReplacementFile file;
    if (Result created = file.Create(path.c_str(), pszTempFolder); !created) return created;
    if (Result written = file.Write(data.data(), static_cast<uint32_t>(data.size())); !written) {
        return written;
    }
    if (Result finished = file.Finish(bFlushLater); !finished) return finished;
    return file.Commit();
}

Result MakeFolders(const std::string& path, const std::vector<std::string>& privateFolders) {
    // Each level below the root, from the top; the root itself is always there.
    for (std::size_t nAt = path.find(kPathSeparator, 1); nAt != std::string::npos;
         nAt = path.find(kPathSeparator, nAt + 1)) {
        const std::string level = path.substr(0, nAt);
        if (level.empty() || level.back() == ':') continue;  // a drive's root
        switch (GetPathKind(level.c_str())) {
            case PathKind::FOLDER:
                continue;
            case PathKind::FILE:
                return Failure{level, "not a folder"};
            case PathKind::NONE:
                break;
        }
        const bool bPrivate =
            std::find(privateFolders.begin(), privateFolders.end(), level) != privateFolders.end();
        // Another process may have made it meanwhile.
        if (Result made = CreateFolder(level.c_str(), bPrivate);
            !made && GetPathKind(level.c_str()) != PathKind::FOLDER) {
            return made;
        }
    }
    return {};
}

}  // namespace corvana
