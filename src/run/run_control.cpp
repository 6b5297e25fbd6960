// What the window tells the run, from the window's thread, and the system's clock.
#include "run/run_control.h"

#include "platform/process.h"
#include "run/update_run.h"

namespace corvana {

void SystemClock::Pause(uint32_t dwMs) { SleepMs(dwMs); }

uint32_t SystemClock::TickCount() { return GetTickCountMs(); }

void RunControl::Abort(std::string cause) {
    {
        const std::lock_guard lock(m_abortMutex);
        if (m_strAbortCause.empty()) m_strAbortCause = std::move(cause);
    }
    Cancel();
}

RunEnding RunControl::Cancelled(int nCode) const {
    const std::lock_guard lock(m_abortMutex);
    if (!m_strAbortCause.empty()) return RunEnding::Failed(CODE_FAILED, m_strAbortCause);
    return RunEnding::Box(RunOutcome::CANCELLED, nCode);
}

void UpdateRun::Cancel() {
    m_control.Cancel();
    // The folder matters only while the run waits for the choice; once it has
    // taken one, the folder is the run's alone.
    if (IsWaitingForInstallChoice()) m_strInstallFolder.clear();
    // After the cancel: the run sees both.
    m_bWaitInstallChoice.store(0, std::memory_order_release);
}

void UpdateRun::Abort(std::string cause) {
    m_control.Abort(std::move(cause));
    Cancel();  // a wait for the installation choice ends too
}

void UpdateRun::ChooseFolder(std::string folder) {
    if (!IsWaitingForInstallChoice()) return;
    m_strInstallFolder = std::move(folder);
    // After the folder: the run reads it once released.
    m_bWaitInstallChoice.store(0, std::memory_order_release);
}

void UpdateRun::DeliverClientVersion(int32_t nVersion) {
    m_nClientVersion.store(nVersion, std::memory_order_release);
}

bool UpdateRun::IsWaitingForInstallChoice() const {
    return m_bWaitInstallChoice.load(std::memory_order_acquire) != 0;
}

}  // namespace corvana
