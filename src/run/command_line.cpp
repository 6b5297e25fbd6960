#include "run/command_line.h"

#include "launch/launch.h"

#include "platform/platform.h"
#include "platform/process.h"
#include "platform/text.h"

namespace corvana {

namespace {

// Where the version word of "-UPDATE <caller> <version> ..." begins in the command text.
constexpr std::size_t UPDATE_VERSION_INDEX = 20;

// Replaces each pair of blanks by one, in one pass from the left ("   " gives "  ").
std::string CollapseBlankPairs(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == ' ') ++i;
    }
    return out;
}

bool Contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

}  // namespace

std::string DefaultInstallFolder() {
    return GetProgramFilesFolder() + kPathSeparator + PRODUCT_FOLDER;
}

CommandSettings ReadCommandLine(std::string_view commandLine, std::string_view ownFolder) {
    // Every switch is searched with the blank before it; the leading blank lets one
    // stand at the very start.
    std::string command = " ";
    command += commandLine;
    for (char& c : command) {
        if (c == '\t') c = ' ';
    }
    command = CollapseBlankPairs(command);

    CommandSettings settings;
    settings.strLoginPart = LoginPart(commandLine);
    if (EqualsNoCase(std::string_view(command).substr(0, 8), " -UPDATE")) {
        std::string rest = command.size() > UPDATE_VERSION_INDEX
                               ? command.substr(UPDATE_VERSION_INDEX)
                               : std::string();
        rest += ' ';
        rest.erase(0, rest.find(' ') + 1);  // the version word is not used
        const std::size_t nLast = rest.find_last_not_of(' ');
        rest.erase(nLast == std::string::npos ? 0 : nLast + 1);
        settings.bBeta = rest == "-U_BETA";
        command = std::move(rest);
    }

    settings.bCheckVersion = Contains(command, " -CHECK_VERSION");
    settings.bRepair = Contains(command, " -REPAIR");
    if (Contains(command, " -THIS_FOLDER")) {
        settings.bFolderKnown = true;
        settings.strInstallFolder = ownFolder;
    }
    return settings;
}

std::string FolderOfPath(std::string_view path) {
    const std::size_t nLast = path.rfind(kPathSeparator);
    return nLast == std::string_view::npos ? std::string() : std::string(path.substr(0, nLast + 1));
}

std::string_view SkipProgramName(std::string_view fullCommandLine) {
    // As the C runtime gives WinMain its command line: a quoted name ends at the
    // closing quote, an unquoted one at the first blank or control character.
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t i = 0;
    if (!fullCommandLine.empty() && fullCommandLine[0] == '"') {
        const std::size_t nClose = fullCommandLine.find('"', 1);
        i = nClose == std::string_view::npos ? fullCommandLine.size() : nClose + 1;
    } else {
        while (i < fullCommandLine.size() && !isBlank(fullCommandLine[i])) ++i;
    }
    while (i < fullCommandLine.size() && isBlank(fullCommandLine[i])) ++i;
    return fullCommandLine.substr(i);
}

std::string JoinArguments(int argc, const char* const* argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

}  // namespace corvana
