#include "install/folder_guard.h"

#include "archive/item_name.h"
#include "install/transaction.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace corvana {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// A component as the system takes it: Windows drops trailing dots and blanks.
std::string_view AsTheSystemTakesIt(std::string_view component) {
    if (kPathSeparator == '\\') {
        while (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
            component.remove_suffix(1);
        }
    }
    return component;
}

}  // namespace

bool IsReservedName(std::string_view relative) {
    bool bFirst = true;
    for (std::size_t nStart = 0; nStart <= relative.size(); bFirst = false) {
        std::size_t nEnd = nStart;
        while (nEnd < relative.size() && !IsSeparator(relative[nEnd])) ++nEnd;
        const std::string_view component =
            AsTheSystemTakesIt(relative.substr(nStart, nEnd - nStart));
        if (EqualsNoCase(component, STAGING_FOLDER_NAME) ||
            (bFirst && (EqualsNoCase(component, ACCEPTED_RECORD_NAME) ||
                        EqualsNoCase(component, DOWNLOADS_FOLDER_NAME)))) {
            return true;
        }
        nStart = nEnd + 1;
    }
    return false;
}

Result CheckPlace(const FolderHandle& root, std::string_view relative) {
    if (!IsSafeItemName(relative)) {
        return Failure{std::string(relative), "a name that leaves the folder"};
    }
    if (IsReservedName(relative)) return Failure{std::string(relative), "a name the updater keeps"};
    std::size_t nCut = relative.size();
    while (nCut > 0 && !IsSeparator(relative[nCut - 1])) --nCut;
    return root.CheckBelow(relative.substr(0, nCut));
}

Expected<uint64_t> ReadAcceptedTimestamp(const FolderHandle& root) {
    const std::string path = root.Path() + ACCEPTED_RECORD_NAME;
    if (root.KindOf(ACCEPTED_RECORD_NAME) == EntryKind::NONE) return uint64_t{0};
    // The record is a decimal number and a line end.
    constexpr std::size_t RECORD_LIMIT = 64;
    const Expected<std::string> text = root.ReadSmallFile(ACCEPTED_RECORD_NAME, RECORD_LIMIT);
    if (!text) {
        return Failure{
            path, "the record of the accepted set cannot be read (" + text.GetFailure().why + ")"};
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

Result StoreAcceptedTimestamp(const FolderHandle& root, uint64_t nTimestamp) {
    // The temporary file lies in a staging folder, which the next start clears
    // whatever becomes of this run.
    InstallTransaction transaction(root);
    Result stored = transaction.Begin({});
    if (stored) {
        stored =
            transaction.SaveNow(ACCEPTED_RECORD_NAME, std::to_string(nTimestamp) + "\n", false);
    }
    transaction.Discard();
    if (stored) return {};
    return Failure{root.Path() + ACCEPTED_RECORD_NAME,
                   "the accepted set cannot be recorded (" + stored.GetFailure().Text() + ")"};
}

std::string NativePath(std::string path) {
    for (char& c : path) {
        if (c == '/') c = kPathSeparator;
    }
    return path;
}

}  // namespace corvana
