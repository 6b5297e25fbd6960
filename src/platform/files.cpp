#include "platform/files.h"

#include <algorithm>
#include <utility>

#include "platform/folder.h"
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

DataFile::~DataFile() { Close(); }

DataFile::DataFile(DataFile&& other) noexcept
    : m_strPath(std::move(other.m_strPath)),
      m_hFile(std::exchange(other.m_hFile, -1)),
      m_nSize(other.m_nSize) {}

DataFile& DataFile::operator=(DataFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_strPath = std::move(other.m_strPath);
        m_hFile = std::exchange(other.m_hFile, -1);
        m_nSize = other.m_nSize;
    }
    return *this;
}

Expected<DataFile> OpenFileToRead(const std::string& path) {
    const std::size_t nCut = path.find_last_of("/\\");
    const Expected<FolderHandle> folder =
        FolderHandle::Open(nCut == std::string::npos ? "." : path.substr(0, nCut + 1));
    if (!folder) return folder.GetFailure();
    return (*folder).OpenDataFile(path.substr(nCut + 1), true);
}

}  // namespace corvana
