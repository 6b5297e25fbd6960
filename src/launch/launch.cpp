#include "launch/launch.h"

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/text_table.h"

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

LaunchResult LaunchFromFolder(const std::string& folder, const std::string& command,
                              std::string_view loginPart, const LaunchSteps& steps) {
    constexpr int SETUP_DELETE_ATTEMPTS = 6;
    bool bStarted = LaunchProgram(folder + command, loginPart) != 0;
    const bool bPackage = !EqualsNoCase(command, CLIENT_PROGRAM);
    if (bPackage) {
        steps.status(LoadText(IDS_INSTALL_DONE));
        // The program's name, without its switch.
        const std::string setup = command.substr(0, command.find(' '));
        for (int nAttempt = 0; nAttempt < SETUP_DELETE_ATTEMPTS; ++nAttempt) {
            steps.pause(500);
            if (DeleteOneFile((folder + setup).c_str())) break;
        }
        if (!bStarted) {
            steps.status(command + " " + LoadText(IDS_RUN_FAILED_TRY_CLIENT));
            steps.pause(500);
            bStarted = LaunchProgram(folder + CLIENT_PROGRAM, loginPart) != 0;
        }
    }
    if (bStarted) return LaunchResult::STARTED;
    steps.status(command + " " + LoadText(IDS_RUN_FAILED));
    steps.pause(500);
    if (!bPackage) return LaunchResult::CLIENT_NOT_STARTED;
    steps.status(LoadText(IDS_UNKNOWN_ERROR));
    steps.pause(500);
    char szName[REGISTRY_NAME_SIZE];
    DeleteRegistryTree(RegistryLocalMachine(), INSTALL_PATH_KEY, szName);
    return LaunchResult::PACKAGE_NOT_STARTED;
}

}  // namespace corvana
