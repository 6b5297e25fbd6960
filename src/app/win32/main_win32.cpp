// CWUpdate2.exe: the Windows program.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <memory>

#include "app/program_shell.h"
#include "app/run_driver.h"
#include "app/win32/updater_dialog.h"
#include "net/http_downloader.h"
#include "run/command_line.h"
#include "run/update_run.h"

namespace {

using namespace corvana;

UpdateRun g_run;
HttpDownloader g_downloader;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    ProgramShell shell{std::string(SkipProgramName(GetCommandLineA()))};
    InitCommonControls();
    const ResultOf<EarlyEnd> started =
        shell.Start([](const std::string& text, const std::string& caption) {
            MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
        });
    if (!started) return started.GetFailure().nStatus;

    g_run.SetFetcher(&g_downloader);
    g_run.SetFetcherSource([] { return std::make_unique<HttpDownloader>(); });
    UpdaterDialog dialog(g_run);
    return DriveRun(shell, g_run, dialog, dialog.View());
}
