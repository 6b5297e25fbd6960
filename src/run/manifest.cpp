#include "run/manifest.h"

#include <limits>

#include "archive/item_name.h"
#include "install/folder_guard.h"
#include "platform/codepage.h"
#include "platform/text.h"
#include "platform/text_table.h"

namespace corvana {

namespace {

// CR to LF, then each pair of LFs to one (one pass from the left), then the end marker.
std::string NormaliseLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 5);
    bool bPendingPair = false;
    for (char c : text) {
        if (c == '\r') c = '\n';
        if (c == '\n' && bPendingPair) {
            bPendingPair = false;
            continue;
        }
        bPendingPair = c == '\n';
        out.push_back(c);
    }
    out += "\n#END";
    return out;
}

}  // namespace

bool IsWebPage(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const std::size_t nFirst = text.find_first_not_of(" \t\r\n");
    return nFirst != std::string_view::npos && text[nFirst] == '<';
}

bool IsManifestRefused(std::string_view text) { return text.empty() || IsWebPage(text); }

int32_t ReadEntryNumber(std::string_view line) {
    const std::size_t nEquals = line.find('=');
    if (nEquals == std::string_view::npos) return 0;  // a line without "=" has no number
    const std::string_view text = line.substr(0, nEquals);
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) bNegative = text[i++] == '-';

    constexpr int64_t nLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t nValue = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        nValue = nValue * 10 + (text[i] - '0');
        if (nValue > nLimit) nValue = nLimit;  // saturate; more digits change nothing
    }
    if (bNegative) return static_cast<int32_t>(-nValue);
    return static_cast<int32_t>(std::min<int64_t>(nValue, nLimit - 1));
}

ManifestSelection ReadManifest(std::string_view text, int32_t nClientVersion,
                               std::size_t nMaxEntries) {
    const std::string normalised = NormaliseLineEnds(UpToFirstZero(text));
    ManifestSelection selection;
    std::size_t nStart = 0;
    for (std::size_t nEnd; (nEnd = normalised.find('\n', nStart)) != std::string::npos;
         nStart = nEnd + 1) {
        const std::string_view line(normalised.data() + nStart, nEnd - nStart);
        if (line.empty()) continue;
        if (line == "#END") break;
        if (line[0] == '#') continue;

        const int32_t nNumber = ReadEntryNumber(line);
        if (nNumber > selection.nHighest) selection.nHighest = nNumber;
        if (nNumber <= nClientVersion) continue;

        const std::size_t nEquals = line.find('=');
        const std::string_view rest =
            nEquals == std::string_view::npos ? line : line.substr(nEquals + 1);
        ManifestEntry entry = SplitEntry(rest, static_cast<int>(selection.vecEntries.size()) + 1);
        entry.nNumber = nNumber;
        entry.strLabel = DecodeServerText(entry.strLabel);
        entry.bSafeName = IsSafeItemName(entry.strName) && !IsReservedName(entry.strName);
        entry.bInstallPackage = IsInstallPackage(entry);
        selection.vecEntries.push_back(std::move(entry));
        if (selection.vecEntries.size() == nMaxEntries) break;
    }
    return selection;
}

ManifestEntry SplitEntry(std::string_view rest, int nPosition) {
    ManifestEntry entry;
    const std::size_t nSemicolon = rest.find(';');
    entry.strName = rest.substr(0, nSemicolon);
    entry.bLabelled = nSemicolon != std::string_view::npos;
    entry.strLabel = entry.bLabelled
                         ? std::string(rest.substr(nSemicolon + 1))
                         : FormatText("%s #%d", LoadText(IDS_PATCH_FILE).c_str(), nPosition);
    return entry;
}

std::string WriteManifest(const std::vector<ManifestLine>& lines) {
    std::string text = "# Corvana patch set\r\n";
    for (const ManifestLine& line : lines) {
        text += std::to_string(line.nNumber) + "=" + line.strName;
        if (line.bLabelled) text += ";" + line.strLabel;
        text += "\r\n";
    }
    return text + "#END\r\n";
}

bool IsUnknownClient(std::size_t nSelected, int32_t nClientVersion, int32_t nHighest) {
    return nSelected == 0 && nClientVersion > 0 && nHighest < nClientVersion && nHighest > 1;
}

bool IsInstallPackage(const ManifestEntry& entry) {
    return entry.bLabelled && EqualsNoCase(entry.strName, "install.zip") &&
           (ContainsMbcs(entry.strLabel, LoadText(IDS_INSTALL_WORD)) ||
            ContainsMbcs(entry.strLabel, LoadText(IDS_INSTALL_WORD_LATIN)));
}

}  // namespace corvana
