// The window's own logic, the same for every front end: the Exit button and its
// confirmation, the client's version message, and the installation choice.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace corvana {

class UpdateRun;

class DialogLogic {
public:
    explicit DialogLogic(UpdateRun& run) : m_run(run) {}

    // The Exit button. confirm asks the user (string 27, "Abort Installation?",
    // OK/Cancel) and is called only while Exit still asks. True when the window
    // is to end; the run is then told to cancel.
    bool OnExit(const std::function<bool()>& confirm);
    // After a failure Exit closes the window without asking.
    void ClearConfirmExit() { m_bConfirmExit.store(0, std::memory_order_release); }
    // WM_CLIENT_VERSION: the client's version number.
    void OnClientVersion(int32_t nVersion);
    // Install Now: creates the folder's last level and hands it to the run, with
    // a trailing separator.
    void OnInstallNow(const std::string& installPath);

    // A folder chosen with Browse: the folder, a separator unless it ends in one,
    // and the product folder name.
    static std::string BrowseResult(const std::string& chosen);
    // Where Browse starts: the folder above the product folder of the path field
    // ("C:\Program Files\Corvana" gives "C:\Program Files"); empty while the
    // field shows the default folder, or when the field names no folder above.
    static std::string BrowseStart(const std::string& field, const std::string& defaultFolder);

private:
    UpdateRun& m_run;
    std::atomic<int32_t> m_bConfirmExit{1};  // Exit asks before it quits
};

}  // namespace corvana
