#include "app/dialog_logic.h"

#include "platform/files.h"
#include "platform/platform.h"
#include "run/command_line.h"
#include "run/update_run.h"

namespace corvana {

bool DialogLogic::OnExit(const std::function<bool()>& confirm) {
    if (m_bConfirmExit.load(std::memory_order_acquire) && !confirm()) return false;
    m_run.Cancel();
    return true;
}

void DialogLogic::OnClientVersion(int32_t nVersion) { m_run.DeliverClientVersion(nVersion); }

void DialogLogic::OnInstallNow(const std::string& installPath) {
    // One that cannot be made fails the install, which says why.
    static_cast<void>(MakeFolders(installPath + kPathSeparator));
    m_run.ChooseFolder(installPath + kPathSeparator);
}

std::string DialogLogic::BrowseResult(const std::string& chosen) {
    std::string path = chosen;
    if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;
    return path + PRODUCT_FOLDER;
}

std::string DialogLogic::BrowseStart(const std::string& field, const std::string& defaultFolder) {
    if (field == defaultFolder || field.empty()) return {};
    const std::string start = field.substr(0, field.size() - 1);
    const std::size_t nLast = start.rfind(kPathSeparator);
    return nLast == std::string::npos ? std::string() : start.substr(0, nLast);
}

}  // namespace corvana
