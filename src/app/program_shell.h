// What both programs do around their window: the start-up (the wait for the
// client, the single instance), the end of the window (the run told to cancel, a
// bounded wait for its thread), and the exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/failure.h"
#include "platform/process.h"
#include "run/update_run.h"

namespace corvana {

enum ExitStatus : int {
    EXIT_STARTED = 0,          // the client or the setup program was started (or nothing was to be)
    EXIT_FAILED = 1,           // an error ending
    EXIT_CANCELLED = 2,        // Exit, or a window that ended while the run still worked
    EXIT_ALREADY_RUNNING = 3,  // another updater of this user runs; its window was raised
};

// Why the program ends before its window opens: its exit status, and why in one
// English line (empty when a box has told the user).
struct EarlyEnd {
    int nStatus = EXIT_FAILED;
    std::string cause;
};

// How long the ended window waits for the run's thread to reach a cancellation point.
inline constexpr uint32_t WORKER_GRACE_MS = 3000;

// 0 when the client or setup was started, 1 after an error ending, 2 when the
// run was cancelled or cut short by the window's end.
int ExitStatusOf(RunOutcome outcome);

class ProgramShell {
public:
    // The program's argument text (its command line after the program name).
    explicit ProgramShell(std::string arguments);
    ~ProgramShell();
    ProgramShell(const ProgramShell&) = delete;
    ProgramShell& operator=(const ProgramShell&) = delete;

    const std::string& Arguments() const { return m_strArguments; }

    // Waits for the client to end and takes the single-instance mutex. Fails when
    // the program is to end at once: the client still runs (warn(text, caption)
    // has told the user), or another updater runs and was raised.
    ResultOf<EarlyEnd> Start(
        const std::function<void(const std::string&, const std::string&)>& warn);

    // The window has ended: the run is told to cancel and its thread gets
    // WORKER_GRACE_MS to stop (waitForWorker(ms) is true when it did). A thread
    // still inside a network or file call is not waited for: the process ends at
    // once, without releasing the objects it still uses. Returns the exit status,
    // from how the run ended: 0 only when the client or setup was started.
    int Finish(UpdateRun& run, const std::function<bool(uint32_t)>& waitForWorker);

private:
    std::string m_strArguments;
    MutexHandle m_hInstance = nullptr;
};

}  // namespace corvana
