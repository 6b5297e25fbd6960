#include "app/program_shell.h"

#include <cstdio>
#include <cstdlib>

#include "app/startup.h"
#include "launch/launch.h"
#include "platform/text_table.h"

namespace corvana {

int ExitStatusOf(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::LAUNCHED:  // the client started, whatever the user pressed meanwhile
            return EXIT_STARTED;
        case RunOutcome::FAILED:  // Exit after an error ending changes nothing of it
            return EXIT_FAILED;
        default:  // cancelled, or cut short while the run still worked
            return EXIT_CANCELLED;
    }
}

ProgramShell::ProgramShell(std::string arguments) : m_strArguments(std::move(arguments)) {}

ProgramShell::~ProgramShell() { CloseMutex(m_hInstance); }

ResultOf<EarlyEnd> ProgramShell::Start(
    const std::function<void(const std::string&, const std::string&)>& warn) {
    SystemClock clock;
    if (!WaitForClientToEnd(clock)) {
        warn(LoadText(IDS_CLIENT_RUNNING), LoadText(IDS_WARNING_CAPTION));
        return EarlyEnd{EXIT_FAILED, {}};
    }
    if (!TakeSingleInstance(m_hInstance)) {
        return EarlyEnd{EXIT_ALREADY_RUNNING,
                        "another updater of this user is already running; its window was "
                        "brought to the front"};
    }
    return {};
}

int ProgramShell::Finish(UpdateRun& run, const std::function<bool(uint32_t)>& waitForWorker) {
    run.Cancel();
    // The run may still finish what it does (an archive's transaction, the launch):
    // the status is read once it has stopped, so that it tells what happened.
    const bool bStopped = waitForWorker(WORKER_GRACE_MS);
    const int nStatus = ExitStatusOf(run.GetOutcome());
    if (!bStopped) {
        // An unfinished transaction is completed or discarded by the next start.
        std::fflush(nullptr);
        std::_Exit(nStatus);
    }
    return nStatus;
}

}  // namespace corvana
