// What the stand-in client and setup program share: the folder they live in,
// their log and how long they keep running.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/own_path.h"
#include "platform/process.h"
#include "run/command_line.h"

namespace corvana::standin {

inline std::string OwnFolder() { return FolderOfPath(GetOwnProgramPath()); }

// Appends the program's command line to LOGNAME beside it, one line per start.
inline void LogCommandLine(const char* pszLogName, int argc, const char* const* argv) {
    std::ofstream log(OwnFolder() + pszLogName, std::ios::app | std::ios::binary);
    log << GetProcessCommandLine(argc, argv) << '\n';
}

// Keeps running for CORVANA_STANDIN_HOLD_MS milliseconds (default 0).
inline void Hold() {
    const char* pszHold = std::getenv("CORVANA_STANDIN_HOLD_MS");
    if (pszHold != nullptr) SleepMs(static_cast<uint32_t>(std::strtoul(pszHold, nullptr, 10)));
}

}  // namespace corvana::standin
