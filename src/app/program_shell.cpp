#include "app/program_shell.h"

#include <cstdio>
#include <cstdlib>

#include "app/startup.h"
#include "launch/launch.h"
#include "platform/text_table.h"

namespace corvana {

int ExitStatusOf(RunOutcome outcome, bool bEndedByExit) {
    // A window that ended while the run still worked cut the run short.
    if (bEndedByExit || outcome == RunOutcome::RUNNING) return EXIT_CANCELLED;
    switch (outcome) {
        case RunOutcome::LAUNCHED:
            return EXIT_STARTED;
        case RunOutcome::CANCELLED:
            return EXIT_CANCELLED;
        default:
            return EXIT_FAILED;
    }
}

ProgramShell::ProgramShell(std::string arguments) : m_arguments(std::move(arguments)) {
    SetUpdaterArguments(m_arguments);
}

ProgramShell::~ProgramShell() { CloseMutex(m_hInstance); }

bool ProgramShell::Start(const std::function<void(const std::string&, const std::string&)>& warn) {
    SystemClock clock;
    if (!WaitForClientToEnd(clock)) {
        warn(LoadText(IDS_CLIENT_RUNNING), LoadText(IDS_WARNING_CAPTION));
        m_nStartStatus = EXIT_FAILED;
        return false;
    }
    m_hInstance = TakeSingleInstance();
    m_nStartStatus = EXIT_STARTED;  // the other updater was raised
    return m_hInstance != nullptr;
}

int ProgramShell::Finish(UpdateRun& run, bool bEndedByExit,
                         const std::function<bool(uint32_t)>& waitForWorker) {
    const int nStatus = ExitStatusOf(run.GetOutcome(), bEndedByExit);
    run.Cancel();
    if (!waitForWorker(WORKER_GRACE_MS)) {
        std::fflush(nullptr);
        std::_Exit(nStatus);
    }
    return nStatus;
}

}  // namespace corvana
