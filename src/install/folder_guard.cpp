#include "install/folder_guard.h"

#include "archive/item_name.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace corvana {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool IsReservedName(std::string_view relative) {
    std::string_view first = relative.substr(0, relative.find_first_of("/\\"));
    if (kPathSeparator == '\\') {
        while (!first.empty() && (first.back() == '.' || first.back() == ' ')) {
            first.remove_suffix(1);
        }
    }
    return EqualsNoCase(first, STAGING_FOLDER_NAME) || EqualsNoCase(first, ACCEPTED_RECORD_NAME);
}

Result CheckPlace(const std::string& folder, std::string_view relative) {
    if (!IsSafeItemName(relative)) {
        return Failure{std::string(relative), "a name that leaves the folder"};
    }
    if (IsReservedName(relative)) return Failure{std::string(relative), "a name the updater keeps"};
    std::string path = folder;
    for (std::size_t nStart = 0;;) {
        std::size_t nEnd = nStart;
        while (nEnd < relative.size() && !IsSeparator(relative[nEnd])) ++nEnd;
        if (nEnd == relative.size()) return {};
        path.append(relative.substr(nStart, nEnd - nStart));
        switch (GetEntryKind(path.c_str())) {
            case EntryKind::FOLDER:
                break;
            case EntryKind::LINK:
                if (!IsLinkOfTrustedOwner(path.c_str())) {
                    return Failure{path, "a link made by another user is on the way"};
                }
                break;
            default:  // what is missing is made by the install; a file there stops it
                return {};
        }
        path += kPathSeparator;
        nStart = nEnd + 1;
    }
}

Result MakeEmptyFolder(const std::string& path) {
    if (!RemoveTree(path.c_str())) return Failure{path, "what is there cannot be removed"};
    return CreateFolder(path.c_str());
}

Expected<uint64_t> ReadAcceptedTimestamp(const std::string& folder) {
    const std::string path = folder + ACCEPTED_RECORD_NAME;
    if (GetEntryKind(path.c_str()) == EntryKind::NONE) return uint64_t{0};
    // The record is a decimal number and a line end.
    constexpr std::size_t RECORD_LIMIT = 64;
    const std::optional<std::string> text = ReadSmallFile(path.c_str(), RECORD_LIMIT);
    if (!text) {
        return Failure{path,
                       "the record of the accepted set cannot be read (not a small plain file)"};
    }
    uint64_t nTimestamp = 0;
    std::size_t nDigits = 0;
    bool bTail = false;
    for (const char c : *text) {
        const bool bBlank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (c >= '0' && c <= '9' && !bTail && nTimestamp <= (UINT64_MAX - 9) / 10) {
            nTimestamp = nTimestamp * 10 + static_cast<uint64_t>(c - '0');
            ++nDigits;
        } else if (bBlank) {
            bTail = nDigits > 0;
        } else {
            nDigits = 0;
            break;
        }
    }
    if (nDigits == 0) return Failure{path, "the record of the accepted set holds no timestamp"};
    return nTimestamp;
}

Result StoreAcceptedTimestamp(const std::string& folder, uint64_t nTimestamp) {
    // The temporary file lies in the staging folder, which the next start clears
    // whatever becomes of this run.
    const std::string staging = folder + STAGING_FOLDER_NAME;
    Result stored = MakeEmptyFolder(staging);
    if (stored) {
        stored = ReplaceWholeFile(folder + ACCEPTED_RECORD_NAME, std::to_string(nTimestamp) + "\n",
                                  staging.c_str());
    }
    if (stored) stored = FlushFolder(folder.c_str());
    RemoveTree(staging.c_str());
    if (stored) return {};
    return Failure{folder + ACCEPTED_RECORD_NAME,
                   "the accepted set cannot be recorded (" + stored.GetFailure().Text() + ")"};
}

std::string NativePath(std::string path) {
    for (char& c : path) {
        if (c == '/') c = kPathSeparator;
    }
    return path;
}

}  // namespace corvana
