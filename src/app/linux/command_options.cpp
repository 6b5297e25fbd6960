#include "app/linux/command_options.h"

#include <cstdio>
#include <string_view>

#include "app/program_shell.h"
#include "launch/launch.h"

namespace corvana {

namespace {

constexpr const char* USAGE =
    "usage: corvana-updater [--terminal] [--yes] [--folder DIR] [--quiet] [--log FILE]\n"
    "                       [-THIS_FOLDER | -CHECK_VERSION | -UPDATE CALLER VERSION -U_BETA]\n"
    "                       [-REPAIR] [--repair]\n"
    "                       [/AutoLoginRID:ID ...]\n"
    "  (no switch)           install the client into a folder you choose\n"
    "  -THIS_FOLDER          update the client in this program's folder\n"
    "  -CHECK_VERSION        show the installed client's version\n"
    "  -UPDATE C V -U_BETA   install from the beta patch path\n"
    "  -REPAIR               with -THIS_FOLDER: after the update, check every file\n"
    "                        against the signed set and fetch back what is missing\n"
    "                        or damaged (only in a build with a publisher's key)\n"
    "  --repair              the same as -THIS_FOLDER -REPAIR\n"
    "  /AutoLoginRID:ID ...  passed on to the client when it starts\n"
    "  --terminal            no desktop window, even where a display can be opened\n"
    "  --yes                 answer the installation choice with the default folder\n"
    "  --folder DIR          answer it with DIR (the client goes into DIR/Corvana)\n"
    "  --quiet               no progress line\n"
    "  --log FILE            add a log of the run to FILE (texts, URLs, failures, times)\n"
    "  -h, --help            show this text;  --version  show the program's version\n"
    "Environment: CORVANA_PATCH_HOST ([https://]host[:port]), CORVANA_CA_FILE (a PEM file).\n"
    "Exit status: 0 the client or setup was started, 1 an error, 2 Exit or a cancel,\n"
    "64 a wrong command line.\n";

}  // namespace

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
            std::fputs(USAGE, stdout);
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
            std::fprintf(stderr, "corvana-updater: unknown option %s\n%s", argv[i], USAGE);
            return EXIT_USAGE;
        }
    }
    return -1;
}

}  // namespace corvana
