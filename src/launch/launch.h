// Starting the client, its version query and the setup program.
#pragma once

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

}  // namespace corvana
