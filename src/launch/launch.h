// Starting the client, its version query and the setup program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvana {

// The switch that carries the client's login id; it and everything after it on
// the updater's command line are the client's.
inline constexpr std::string_view LOGIN_SWITCH = "/AutoLoginRID:";

// The client's part of the updater's argument text: from LOGIN_SWITCH (exactly
// so written) to the end; empty without it.
std::string_view LoginPart(std::string_view arguments);

// The command text names the client: it ends in "cw.exe" or "cw3.exe" (any case).
bool IsClientCommand(const std::string& command);

// Starts the command text (a full program path, optionally a blank and
// arguments; no quotes). The client gets loginPart (see LoginPart), when not
// empty, as its whole command line. 1 when the process was started, else 0.
int LaunchProgram(const std::string& command, std::string_view loginPart = {});

inline constexpr const char* CLIENT_PROGRAM = "cw.exe";
inline constexpr const char* SETUP_COMMAND = "setup.exe -install";
// Where the installation package's setup leaves the installed client's folder.
inline constexpr const char* INSTALL_PATH_KEY = "SOFTWARE\\Halvorn\\CW3_Path";

// What the launch shows while it works: its status lines, and its pauses.
struct LaunchSteps {
    std::function<void(const std::string&)> status;
    std::function<void(uint32_t)> pause;
};

enum class LaunchResult {
    STARTED,
    CLIENT_NOT_STARTED,   // the client could not be started
    PACKAGE_NOT_STARTED,  // neither the setup program nor the client: the install is undone
};

// Starts command (CLIENT_PROGRAM or SETUP_COMMAND) in folder (with its separator).
// The setup program's file is deleted once it runs (a few attempts, while it
// still holds it); when it cannot be started the client is tried, and when that
// fails too the installation's registry key is removed.
LaunchResult LaunchFromFolder(const std::string& folder, const std::string& command,
                              std::string_view loginPart, const LaunchSteps& steps);

}  // namespace corvana
