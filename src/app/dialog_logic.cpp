#include "app/dialog_logic.h"

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "run/update_run.h"

namespace corvana {

bool DialogLogic::OnExit(const std::function<bool()>& confirm) {
    if (m_bConfirmExit && !confirm()) return false;
    m_run.m_bCancel = 1;
    // The folder matters only while the run waits for the choice; once it has
    // taken one, the folder is the run's alone.
    if (m_run.m_bWaitInstallChoice) m_run.m_strInstallFolder.clear();
    m_run.m_bWaitInstallChoice = 0;  // after the cancel: the run sees both
    return true;
}

void DialogLogic::OnClientVersion(int32_t nVersion) { m_run.m_nClientVersion = nVersion; }

void DialogLogic::OnInstallNow(const std::string& installPath) {
    CreateFolder(installPath.c_str());  // the last level only; one already there is fine
    m_run.m_strInstallFolder = installPath + kPathSeparator;
    m_run.m_bWaitInstallChoice = 0;  // after the folder: the run reads it once released
}

std::string DialogLogic::DefaultFolder() {
    return GetProgramFilesFolder() + kPathSeparator + PRODUCT_FOLDER;
}

std::string DialogLogic::BrowseResult(const std::string& chosen) {
    std::string path = chosen;
    if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;
    return path + PRODUCT_FOLDER;
}

}  // namespace corvana
