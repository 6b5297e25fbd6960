// The Windows program's window: the dialog, and the window seam over it.
#pragma once

#ifndef _WIN32
#error "The Win32 window is for the Windows build"
#endif

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "app/dialog_logic.h"
#include "app/panel_view.h"

namespace corvana {

class UpdateRun;

class UpdaterDialog : public PanelControls {
public:
    UpdaterDialog(UpdateRun& run, std::string arguments);
    ~UpdaterDialog() override;

    // Runs the window modally to its end; the worker starts during its initialisation.
    INT_PTR DoModal();
    // The worker thread, still running or not (the caller decides whether to wait).
    HANDLE WorkerThread() const { return m_hThread; }

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
    static DWORD WINAPI UpdateThreadProc(LPVOID pParameter);
    static int CALLBACK BrowseCallbackProc(HWND hWnd, UINT nMessage, LPARAM lParam, LPARAM lpData);
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void OnExit();
    void OnBrowse();
    void OnInstallNow();
    void OnPaint();
    void Request(const std::function<void()>& request);
    std::string ItemText(int nId);

    UpdateRun& m_run;
    DialogLogic m_logic;
    PanelView m_view{*this};  // the run's intents as operations on the controls
    std::string m_arguments;
    HWND m_hWnd = nullptr;
    std::string m_strInstallPath;
    DWORD m_dwThreadId = 0;
    HANDLE m_hThread = nullptr;
    char m_szDefaultFolder[1024] = {};
    HICON m_hIcon = nullptr;
    std::atomic<bool> m_bEnded{false};
    // The request the worker waits on; a WM_RUN_REQUEST for anything else (any
    // program may send the window messages) is ignored.
    std::mutex m_requestLock;
    const std::function<void()>* m_pPendingRequest = nullptr;
};

}  // namespace corvana
