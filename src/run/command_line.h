// The run's settings from the program's command line.
#pragma once

#include <string>
#include <string_view>

namespace corvana {

struct CommandSettings {
    bool bBeta = false;          // "-UPDATE <version> -U_BETA": the beta path
    bool bCheckVersion = false;  // " -CHECK_VERSION": only report the client's version
    bool bFolderKnown = false;   // " -THIS_FOLDER": install into the program's own folder
    bool bRepair = false;        // " -REPAIR": after the update, check every file and repair
    std::string strInstallFolder;
    std::string strLoginPart;  // the client's part of the command line (see LoginPart)
};

// The folder below the chosen one that the client is installed into.
inline constexpr const char* PRODUCT_FOLDER = "Corvana";

// The installation folder offered first: the program files folder followed by
// the product folder.
std::string DefaultInstallFolder();

// Reads the command line (the text after the program name). ownFolder is the
// program's own folder with its trailing separator, or empty when unknown.
CommandSettings ReadCommandLine(std::string_view commandLine, std::string_view ownFolder);

// The folder part of a path, up to and including its last separator; empty
// when the path has none.
std::string FolderOfPath(std::string_view path);

// The system's full command line without the program name and the blanks after it
// (the program name is quoted or ends at the first blank).
std::string_view SkipProgramName(std::string_view fullCommandLine);

// The arguments after the program name, joined by single blanks.
std::string JoinArguments(int argc, const char* const* argv);

}  // namespace corvana
