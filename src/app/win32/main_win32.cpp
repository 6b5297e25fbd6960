// CWUpdate2.exe: the Windows program.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include "app/startup.h"
#include "app/win32/updater_dialog.h"
#include "launch/launch.h"
#include "net/http_downloader.h"
#include "platform/text_table.h"
#include "run/command_line.h"
#include "run/update_run.h"

namespace {

using namespace corvana;

constinit HttpDownloader g_downloader;
UpdateRun g_run;

// How long the ended window waits for the worker to reach a cancellation point.
constexpr DWORD WORKER_GRACE_MS = 3000;

int StatusOf(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::LAUNCHED:
            return 0;
        case RunOutcome::CANCELLED:
            return 2;
        default:
            return 1;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string arguments(SkipProgramName(GetCommandLineA()));
    SetUpdaterArguments(arguments);
    InitCommonControls();

    SystemClock clock;
    if (!WaitForClientToEnd(clock)) {
        MessageBoxA(nullptr, LoadText(IDS_CLIENT_RUNNING).c_str(),
                    LoadText(IDS_WARNING_CAPTION).c_str(), MB_OK | MB_ICONWARNING);
        return 1;
    }
    MutexHandle hInstance = TakeSingleInstance();
    if (hInstance == nullptr) return 0;

    g_run.SetDownloader(&g_downloader);
    UpdaterDialog dialog(g_run, arguments);
    dialog.DoModal();
    CloseMutex(hInstance);

    // The window has ended: the run is told to cancel. A worker that does not
    // stop in time is not waited for, and the process ends without releasing
    // the objects it still uses.
    const RunOutcome outcome = g_run.GetOutcome();
    g_run.m_bCancel = 1;
    // A window that ended while the run still worked cut the run short.
    const int nStatus =
        dialog.EndedByExit() || outcome == RunOutcome::RUNNING ? 2 : StatusOf(outcome);
    if (dialog.WorkerThread() != nullptr &&
        WaitForSingleObject(dialog.WorkerThread(), WORKER_GRACE_MS) != WAIT_OBJECT_0) {
        ExitProcess(static_cast<UINT>(nStatus));
    }
    return nStatus;
}
