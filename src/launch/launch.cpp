#include "launch/launch.h"

#include "platform/process.h"
#include "platform/text.h"

namespace corvana {

std::string_view LoginPart(std::string_view arguments) {
    const std::size_t nAt = arguments.find(LOGIN_SWITCH);
    return nAt == std::string_view::npos ? std::string_view() : arguments.substr(nAt);
}

bool IsClientCommand(const std::string& command) {
    return EndsWithNoCaseMbcs(command, "cw.exe") || EndsWithNoCaseMbcs(command, "cw3.exe");
}

int LaunchProgram(const std::string& command, std::string_view loginPart) {
    const std::string loginId(IsClientCommand(command) ? loginPart : std::string_view());
    const bool bStarted = loginId.empty() ? StartProgram(nullptr, command.c_str())
                                          : StartProgram(command.c_str(), loginId.c_str());
    return bStarted ? 1 : 0;
}

}  // namespace corvana
