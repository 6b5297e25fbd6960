#include "app/run_driver.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "platform/text_table.h"
#include "platform/window_endpoint.h"

namespace corvana {

int DriveRun(ProgramShell& shell, UpdateRun& run, FrontEnd& frontEnd, RunView& view) {
    WindowEndpoint endpoint;
    const std::string title = LoadText(IDS_WINDOW_TITLE);
    DialogLogic& logic = frontEnd.Logic();
    if (Result opened = endpoint.Open(
            title.c_str(), [&logic](int32_t nVersion) { logic.OnClientVersion(nVersion); },
            [&frontEnd] { frontEnd.Raise(); },
            [&run](const std::string& what) {
                run.Abort("the window's endpoint failed: " + what);
            });
        !opened) {
        view.ExplainFailure("the client's version cannot be received (" +
                            opened.GetFailure().Text() + ")");
    }
    run.SetView(&view);
    // The run catches what it throws itself; the promise is kept however it returns.
    std::promise<void> ended;
    std::future<void> finished = ended.get_future();
    std::thread worker;
    std::string lostWindow;  // what the window's own thread threw, if anything
    try {
        frontEnd.RunUntilClosed([&] {
            if (worker.joinable()) return;
            worker = std::thread([&run, &shell, &ended] {
                run.Run(shell.Arguments());
                ended.set_value();
            });
        });
    } catch (...) {
        lostWindow = DescribeException(std::current_exception());
        run.Abort("the window failed: " + lostWindow);
    }
    // The window ends: from now on the run's requests do nothing.
    frontEnd.End();
    endpoint.Close();
    // With the window gone, its failure can only be told on the error stream.
    if (!lostWindow.empty()) std::fprintf(stderr, "the window failed: %s\n", lostWindow.c_str());
    const int nStatus = shell.Finish(run, [&](uint32_t dwMs) {
        return !worker.joinable() ||
               finished.wait_for(std::chrono::milliseconds(dwMs)) == std::future_status::ready;
    });
    if (worker.joinable()) worker.join();
    return nStatus;
}

}  // namespace corvana
