// The Windows program's window: the dialog, and the window seam over it.
#pragma once

#ifndef _WIN32
#error "The Win32 window is for the Windows build"
#endif

#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "app/dialog_logic.h"
#include "app/front_end.h"
#include "app/panel_view.h"

namespace corvana {

class UpdateRun;

class UpdaterDialog : public PanelControls, public FrontEnd {
public:
    explicit UpdaterDialog(UpdateRun& run);
    ~UpdaterDialog() override = default;

    // FrontEnd: the window runs modally to its end; onShown comes from its
    // initialisation.
    RunView& View() override { return m_view; }
    DialogLogic& Logic() override { return m_logic; }
    void RunUntilClosed(const std::function<void()>& onShown) override;
    void End() override { m_bEnded = true; }
    // Another updater raises this window through the system itself.
    void Raise() override {}

    // The panel's controls: each request runs on the window's thread while the worker waits.
    void SetItemText(int nId, const std::string& text) override;
    void ShowItem(int nId, bool bShow) override;
    void SetProgressRange(int nMin, int nMax) override;
    void SetProgressPos(int nPos) override;
    void ClearConfirmExit() override;
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void PostClose() override;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    static int CALLBACK BrowseCallbackProc(HWND hWnd, UINT nMessage, LPARAM lParam, LPARAM lpData);
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void OnExit();
    void OnBrowse();
    void OnInstallNow();
    void OnPaint();
    void Request(const std::function<void()>& request);
    std::string ItemText(int nId);

    DialogLogic m_logic;
    PanelView m_view{*this};  // the run's intents as operations on the controls
    HWND m_hWnd = nullptr;
    std::string m_strInstallPath;
    std::function<void()> m_onShown;
    char m_szDefaultFolder[1024] = {};
    HICON m_hIcon = nullptr;
    std::atomic<bool> m_bEnded{false};
    // The request the worker waits on; a WM_RUN_REQUEST for anything else (any
    // program may send the window messages) is ignored.
    std::mutex m_requestLock;
    const std::function<void()>* m_pPendingRequest = nullptr;
    std::exception_ptr m_requestError;  // what the request being carried out threw
};

}  // namespace corvana
