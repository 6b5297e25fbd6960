// The patch manifest, patch_info.txt: which files to fetch, in which order and
// under which label.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvana {

inline constexpr std::size_t MAX_SELECTED_ENTRIES = 100;

struct ManifestSelection {
    std::vector<std::string> vecEntries;  // the rests ("name;label") of the selected lines
    int32_t nHighest = 0;                 // the largest number of every entry line read
};

struct ManifestEntry {
    std::string strName;
    std::string strLabel;
    bool bLabelled = false;  // the rest had a ";" (the label was not generated)
};

// True for a text that is not a manifest: empty, or the web server's HTML page
// (its first 9 characters are "<!DOCTYPE" in any case).
bool IsManifestRefused(std::string_view text);

// Selects, in manifest order, every entry numbered above nClientVersion (at most
// MAX_SELECTED_ENTRIES; the lines after the last one taken are not read).
ManifestSelection ReadManifest(std::string_view text, int32_t nClientVersion);

// The number of an entry line: the text before its first "=", blanks and TABs
// skipped, an optional sign and decimal digits; 0 without digits or "="; values
// beyond the 32-bit range saturate at its bounds.
int32_t ReadEntryNumber(std::string_view line);

// Splits a selected entry into name and label; nPosition is its 1-based place
// among the selected entries, used for a generated label.
ManifestEntry SplitEntry(std::string_view rest, int nPosition);

// No entry selected, yet the client is newer than every entry the server knows.
bool IsUnknownClient(std::size_t nSelected, int32_t nClientVersion, int32_t nHighest);

// The entry is the installation package, which carries the setup program.
bool IsInstallPackage(const ManifestEntry& entry);

}  // namespace corvana
