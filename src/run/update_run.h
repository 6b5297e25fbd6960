// The update run: the one object that carries a run from the command line to
// the launch of the client. The window writes the shared words; the run polls them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace corvana {

class UpdaterWindow;

inline constexpr uint32_t REGISTRY_NAME_SIZE = 260;
inline constexpr const char* INSTALL_PATH_KEY = "SOFTWARE\\Halvorn\\CW3_Path";

class UpdateRun {
public:
    UpdateRun() = default;
    virtual ~UpdateRun() = default;
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Ends the run with "에러코드 : #code" (no box for code 0); returns 0.
    int ReportErrorCode(int nCode);
    // Shows the message in a box when the code is not 0 and the message not
    // empty, then asks the window to close; returns 0.
    int ReportError(int nCode, std::string message);
    // Deletes parent\path and everything below it, depth first: 0 when the walk
    // finished (the deletion of the key was asked for), -1 when the key cannot be
    // opened with full access, 1 when a subkey cannot be opened (the key stays).
    static int DeleteRegistryTree(RegistryKey parent, const char* pszPath, char* pszNameBuffer);

    void SetWindow(UpdaterWindow* pWindow) { m_pDialog = pWindow; }

    // Shared with the window, in this order.
    std::atomic<int32_t> m_nClientVersion{0};
    std::atomic<int32_t> m_bBusy{1};
    std::atomic<int32_t> m_bInstallPackage{0};
    std::atomic<int32_t> m_bCancel{0};
    std::atomic<int32_t> m_bWaitInstallChoice{0};
    std::string m_strInstallFolder;  // written by the window before it clears the wait flag
    UpdaterWindow* m_pDialog = nullptr;
    std::atomic<int32_t> m_bFolderKnown{0};
    std::atomic<int32_t> m_bCheckVersion{0};
};

}  // namespace corvana
