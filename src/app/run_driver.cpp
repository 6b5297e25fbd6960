#include "app/run_driver.h"

#include <chrono>
#include <future>
#include <thread>

#include "platform/text_table.h"
#include "platform/window_endpoint.h"

namespace corvana {

int DriveRun(ProgramShell& shell, UpdateRun& run, FrontEnd& frontEnd, RunView& view) {
    WindowEndpoint endpoint;
    const std::string title = LoadText(IDS_WINDOW_TITLE);
    DialogLogic& logic = frontEnd.Logic();
    if (!endpoint.Open(
            title.c_str(), [&logic](int32_t nVersion) { logic.OnClientVersion(nVersion); },
            [&frontEnd] { frontEnd.Raise(); })) {
        view.ExplainFailure("the client's version cannot be received (" + endpoint.Error() + ")");
    }
    run.SetView(&view);
    std::packaged_task<void()> task([&run, &shell] { run.Run(shell.Arguments()); });
    std::future<void> finished = task.get_future();
    std::thread worker;
    frontEnd.RunUntilClosed([&] {
        if (!worker.joinable()) worker = std::thread(std::move(task));
    });
    // The window ends: from now on the run's requests do nothing.
    frontEnd.End();
    endpoint.Close();
    const int nStatus = shell.Finish(run, [&](uint32_t dwMs) {
        return !worker.joinable() ||
               finished.wait_for(std::chrono::milliseconds(dwMs)) == std::future_status::ready;
    });
    if (worker.joinable()) worker.join();
    return nStatus;
}

}  // namespace corvana
