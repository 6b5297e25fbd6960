#include "launch/launch.h"

#include "platform/process.h"
#include "platform/text.h"

namespace corvana {

namespace {
std::string g_strUpdaterArguments;  // written once before the worker starts
}

void SetUpdaterArguments(std::string arguments) { g_strUpdaterArguments = std::move(arguments); }

const std::string& GetUpdaterArguments() { return g_strUpdaterArguments; }

bool IsClientCommand(const std::string& command) {
    return EndsWithNoCaseMbcs(command, "cw.exe") || EndsWithNoCaseMbcs(command, "cw3.exe");
}

int LaunchProgram(const std::string& command) {
    std::string loginId;
    if (IsClientCommand(command)) {
        const std::string& arguments = GetUpdaterArguments();
        const std::size_t nAt = arguments.find(LOGIN_SWITCH);
        if (nAt != std::string::npos) loginId = arguments.substr(nAt);
    }
    const bool bStarted = loginId.empty() ? StartProgram(nullptr, command.c_str())
                                          : StartProgram(command.c_str(), loginId.c_str());
    return bStarted ? 1 : 0;
}

}  // namespace corvana
