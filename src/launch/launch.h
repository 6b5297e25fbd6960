// Starting the client, its version query and the setup program.
#pragma once

#include <string>
#include <string_view>

namespace corvana {

// The switch that carries the client's login id; it and everything after it on
// the updater's command line are the client's.
inline constexpr std::string_view LOGIN_SWITCH = "/AutoLoginRID:";

// The updater's own argument text (its command line after the program name),
// set once at start-up; the client launch reads it when it starts the client.
void SetUpdaterArguments(std::string arguments);
const std::string& GetUpdaterArguments();

// The command text names the client: it ends in "cw.exe" or "cw3.exe" (any case).
bool IsClientCommand(const std::string& command);

// Starts the command text (a full program path, optionally a blank and
// arguments; no quotes). The client gets the updater's LOGIN_SWITCH tail as
// its whole command line. 1 when the process was started, else 0.
int LaunchProgram(const std::string& command);

}  // namespace corvana
