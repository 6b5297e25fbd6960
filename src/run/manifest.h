// The patch manifest, patch_info.txt: which files to fetch, in which order and
// under which label.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvana {

inline constexpr std::size_t MAX_SELECTED_ENTRIES = 100;
// A signed set is installed whole in one run, however many entries it selects
// (up to this many: the bar's units of every entry stay within its range).
inline constexpr std::size_t MAX_SIGNED_ENTRIES = 1000000;

struct ManifestEntry {
    int32_t nNumber = 0;
    std::string strName;
    std::string strLabel;          // in the system code page
    bool bLabelled = false;        // the line had a ";" (the label was not generated)
    bool bSafeName = false;        // inside the installation folder, and not a name of ours
    bool bInstallPackage = false;  // the installation package, which carries setup.exe
};

struct ManifestSelection {
    std::vector<ManifestEntry> vecEntries;  // the selected entries, in manifest order
    int32_t nHighest = 0;                   // the largest number of every entry line read
};

// True for a web page (a server's error page, a captive portal's login): its
// first character that is not a blank, after a UTF-8 byte-order mark, is "<".
bool IsWebPage(std::string_view text);

// True for a text that is not a manifest: empty, or a web page.
bool IsManifestRefused(std::string_view text);

// Selects, in manifest order, every entry numbered above nClientVersion (at most
// nMaxEntries; the lines after the last one taken are not read). Labels are
// decoded from the server's code page; an unlabelled entry gets a generated
// label with its place among the selected entries.
ManifestSelection ReadManifest(std::string_view text, int32_t nClientVersion,
                               std::size_t nMaxEntries = MAX_SELECTED_ENTRIES);

// The number of an entry line: the text before its first "=", blanks and TABs
// skipped, an optional sign and decimal digits; 0 without digits or "="; values
// beyond the 32-bit range saturate at its bounds.
int32_t ReadEntryNumber(std::string_view line);

// Splits the text after an entry's "=" into name and label (as the server wrote
// it); nPosition is its 1-based place among the selected entries, used for a
// generated label.
ManifestEntry SplitEntry(std::string_view rest, int nPosition);

// A manifest as the publisher writes it: a comment, one "NUMBER=NAME;LABEL" line
// per entry (the label in the server's code page, CP949; "NUMBER=NAME" for an
// entry without one), and the end marker, lines ended by CR LF.
struct ManifestLine {
    int32_t nNumber = 0;
    std::string strName;
    std::string strLabel;  // CP949
    bool bLabelled = false;
};
std::string WriteManifest(const std::vector<ManifestLine>& lines);

// No entry selected, yet the client is newer than every entry the server knows.
bool IsUnknownClient(std::size_t nSelected, int32_t nClientVersion, int32_t nHighest);

// The entry is the installation package, which carries the setup program.
bool IsInstallPackage(const ManifestEntry& entry);

}  // namespace corvana
