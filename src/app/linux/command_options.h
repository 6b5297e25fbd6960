// The Linux program's command line: its own options, and the updater's switches
// and the client's words after them.
#pragma once

#include <string>
#include <vector>

namespace corvana {

inline constexpr int EXIT_USAGE = 64;

// What the terminal front end takes from the command line.
struct TerminalSettings {
    bool bYes = false;    // the installation choice answered with the default folder
    std::string folder;   // or with this folder, as typed at the prompt
    bool bQuiet = false;  // no progress line
};

struct Options {
    TerminalSettings terminal;
    std::string log;                // --log FILE
    bool bTerminal = false;         // --terminal: no desktop window
    std::vector<std::string> rest;  // the updater's own arguments, in order
};

// Reads the program's own options: an exit status when one of them ends the
// program (--help, --version, a wrong option), else -1. Everything from
// LOGIN_SWITCH on is the client's.
int ReadOptions(int argc, char** argv, Options& options);

}  // namespace corvana
