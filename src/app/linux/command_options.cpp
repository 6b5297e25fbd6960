#include "app/linux/command_options.h"

#include <cstdio>
#include <string_view>

#include "app/program_shell.h"
#include "launch/launch.h"
#include "platform/text.h"
#include "platform/text_table.h"

namespace corvana {

int ReadOptions(int argc, char** argv, Options& options) {
    bool bClients = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bClients = bClients || argument.starts_with(LOGIN_SWITCH);
        if (bClients || (!argument.starts_with("--") && argument != "-h")) {
            options.rest.emplace_back(argument);  // the updater's switch, or the client's
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            std::fputs(LoadText(IDS_USAGE).c_str(), stdout);
            return EXIT_STARTED;
        }
        if (argument == "--version") {
            std::printf("corvana-updater %s\n", CORVANA_VERSION);
            return EXIT_STARTED;
        }
        if (argument == "--yes") {
            options.terminal.bYes = true;
        } else if (argument == "--quiet") {
            options.terminal.bQuiet = true;
        } else if (argument == "--repair") {
            options.rest.emplace_back("-THIS_FOLDER");
            options.rest.emplace_back("-REPAIR");
        } else if (argument == "--terminal") {
            options.bTerminal = true;
        } else if (argument == "--folder" && i + 1 < argc) {
            options.terminal.folder = argv[++i];
        } else if (argument == "--log" && i + 1 < argc) {
            options.log = argv[++i];
        } else {
            std::fprintf(stderr, "corvana-updater: %s\n%s",
                         FormatText(LoadText(IDS_UNKNOWN_OPTION).c_str(), argv[i]).c_str(),
                         LoadText(IDS_USAGE).c_str());
            return EXIT_USAGE;
        }
    }
    return -1;
}

}  // namespace corvana
