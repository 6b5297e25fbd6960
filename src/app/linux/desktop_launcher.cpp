#include "app/linux/desktop_launcher.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

#include "app/linux/folder_choice.h"
#include "platform/files.h"
#include "platform/process.h"

namespace corvana {

namespace {

constexpr std::string_view MAIN_GROUP = "[Desktop Entry]";
constexpr const char* REPAIR_ACTION = "repair";
constexpr std::string_view REPAIR_GROUP = "[Desktop Action repair]";
constexpr const char* REPAIR_NAME = "Verify and repair";
constexpr std::size_t MAX_ENTRY_SIZE = std::size_t{64} << 10;
constexpr std::size_t MAX_ICON_SIZE = std::size_t{4} << 20;

// Calls visit(line) for each line of text, without its line break.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const std::size_t nEnd = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, nEnd);
        if (line.ends_with('\r')) line.remove_suffix(1);
        visit(line);
        text.remove_prefix(std::min(nEnd + 1, text.size()));
    }
}

// The key of a "Key=value" line, without the blanks before '='; empty for a
// group header, a comment or a blank line.
std::string_view KeyOf(std::string_view line) {
    const std::size_t nEquals = line.find('=');
    if (nEquals == std::string_view::npos || line.starts_with('#') || line.starts_with('[')) {
        return {};
    }
    std::string_view key = line.substr(0, nEquals);
    while (key.ends_with(' ')) key.remove_suffix(1);
    return key;
}

// A string value as an entry stores it: a backslash is written twice.
std::string EscapeValue(std::string_view text) {
    std::string value;
    for (const char c : text) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

// One argument of an Exec value: in double quotes, with the characters that are
// special inside them escaped, and a percent sign doubled (it starts field codes).
std::string QuoteArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + '"';
}

// The icon's name in the theme, when the entry's main group names one by a
// plain name (not a path).
std::string ThemedIconOf(std::string_view entry) {
    std::string icon;
    bool bInMain = false;
    ForEachLine(entry, [&](std::string_view line) {
        if (line.starts_with('[')) bInMain = line == MAIN_GROUP;
        if (bInMain && KeyOf(line) == "Icon") {
            std::string_view value = line.substr(line.find('=') + 1);
            while (value.starts_with(' ')) value.remove_prefix(1);
            icon = value;
        }
    });
    const bool bPlain =
        !icon.empty() && !icon.starts_with('.') && icon.find_first_of("/\\") == std::string::npos;
    return bPlain ? icon : std::string();
}

bool HasControlCharacter(std::string_view text) {
    return std::ranges::any_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// The contents of a file of at most nLimit bytes.
Expected<std::string> ReadLimitedFile(const std::string& path, std::size_t nLimit) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return Failure{path, std::strerror(errno)};
    std::string text(nLimit + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (file.bad()) return Failure{path, "could not be read"};
    if (text.size() > nLimit) {
        return Failure{path, "larger than " + std::to_string(nLimit) + " bytes"};
    }
    return text;
}

// Puts data at path in one step (the folders above made), unless the file holds
// it already.
Result WriteIfChanged(const std::string& path, const std::string& data) {
    if (const Expected<std::string> present = ReadLimitedFile(path, data.size());
        present && *present == data) {
        return {};
    }
    if (Result made = MakeFolders(path, UserBaseFolders()); !made) return made;
    return ReplaceWholeFile(path, data);
}

}  // namespace

std::string LauncherForFolder(const std::string& entry, const std::string& folder, bool bRepair) {
    const std::string program = folder + UPDATER_PROGRAM;
    const std::string_view workFolder =
        std::string_view(folder).substr(0, folder.size() > 1 ? folder.size() - 1 : 1);
    // Launchers look for the Exec's program before they read "%%" as '%': a path
    // with a percent sign is handed to env, which they find.
    const std::string command = (program.find('%') == std::string::npos ? "" : "env ") +
                                EscapeValue(QuoteArgument(program));
    std::string launcher;
    std::string_view group;
    bool bFound = false;
    bool bActions = false;
    ForEachLine(entry, [&](std::string_view line) {
        if (line.starts_with('[')) group = line;
        const bool bInMain = group == MAIN_GROUP;
        const std::string_view key = KeyOf(line);
        if ((bInMain && (key == "Exec" || key == "TryExec" || key == "Path")) ||
            (bRepair && group == REPAIR_GROUP)) {
            return;
        }
        if (bInMain && bRepair && key == "Actions") {
            // The repair joins the entry's own actions.
            bActions = true;
            std::string actions;
            bool bListed = false;
            std::string_view rest = line.substr(line.find('=') + 1);
            while (!rest.empty()) {
                const std::size_t nEnd = std::min(rest.find(';'), rest.size());
                std::string_view action = rest.substr(0, nEnd);
                while (action.starts_with(' ')) action.remove_prefix(1);
                while (action.ends_with(' ')) action.remove_suffix(1);
                rest.remove_prefix(std::min(nEnd + 1, rest.size()));
                if (action.empty()) continue;
                bListed = bListed || action == REPAIR_ACTION;
                actions.append(action) += ';';
            }
            if (!bListed) actions.append(REPAIR_ACTION) += ';';
            launcher += "Actions=" + actions + '\n';
            return;
        }
        launcher.append(line) += '\n';
        if (bInMain && !bFound) {
            bFound = true;
            launcher += "Exec=" + command + " -THIS_FOLDER\n";
            launcher += "TryExec=" + EscapeValue(program) + '\n';
            launcher += "Path=" + EscapeValue(workFolder) + '\n';
        }
    });
    if (!bFound) return {};
    if (bRepair) {
        // Actions= belongs to the main group, which comes first.
        if (!bActions) {
            const std::size_t nPath = launcher.find("\nPath=");
            const std::size_t nEnd = launcher.find('\n', nPath + 1);
            launcher.insert(nEnd + 1, std::string("Actions=") + REPAIR_ACTION + ";\n");
        }
        launcher += std::string(REPAIR_GROUP) + "\nName=" + REPAIR_NAME + "\nExec=" + command +
                    " --repair\n";
    }
    return launcher;
}

Result RegisterLauncher(const std::string& folder, bool bRepair) {
    // An entry names its program by an absolute path; a folder that is not one
    // (or is none) would make an entry that starts nothing.
    if (!folder.starts_with('/')) return Failure{folder, "not an absolute folder"};
    const std::string shipped = folder + LAUNCHER_FILE;
    if (GetPathKind(shipped.c_str()) != PathKind::FILE) return {};
    // A line break in a path cannot be written into an entry's value safely.
    if (HasControlCharacter(folder)) {
        return Failure{folder, "a control character in the folder's name"};
    }
    // An entry already there is replaced only by one that starts a program.
    if (access((folder + UPDATER_PROGRAM).c_str(), X_OK) != 0 ||
        GetPathKind((folder + UPDATER_PROGRAM).c_str()) != PathKind::FILE) {
        return Failure{shipped, std::string("no program ") + UPDATER_PROGRAM + " beside it"};
    }
    const Expected<std::string> entry = ReadLimitedFile(shipped, MAX_ENTRY_SIZE);
    if (!entry) return entry.GetFailure();
    const std::string launcher = LauncherForFolder(*entry, folder, bRepair);
    if (launcher.empty()) return Failure{shipped, "not a desktop entry"};
    const std::string data = GetProgramFilesFolder();
    if (!data.starts_with('/')) return Failure{{}, "no home folder to register the launcher in"};

    // The icons first, so that no menu shows the launcher without its icon.
    if (const std::string icon = ThemedIconOf(*entry); !icon.empty()) {
        const std::string shippedTheme = folder + "icons/hicolor/";
        const std::string userTheme = data + "/icons/hicolor/";
        for (const std::string& size : ListFolder(shippedTheme.c_str())) {
            for (const char* pszType : {".png", ".svg"}) {
                std::string name = size;
                name.append("/apps/").append(icon).append(pszType);
                if (GetPathKind((shippedTheme + name).c_str()) != PathKind::FILE) continue;
                const Expected<std::string> picture =
                    ReadLimitedFile(shippedTheme + name, MAX_ICON_SIZE);
                if (!picture) return picture.GetFailure();
                if (Result written = WriteIfChanged(userTheme + name, *picture); !written) {
                    return written;
                }
            }
        }
    }
    return WriteIfChanged(data + "/applications/" + LAUNCHER_FILE, launcher);
}

}  // namespace corvana
