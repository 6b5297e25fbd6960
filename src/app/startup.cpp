#include "app/startup.h"

#include "platform/text_table.h"

namespace corvana {

bool WaitForClientToEnd(RunClock& clock) {
    MutexHandle hClient = OpenExistingMutex(CLIENT_MUTEX);
    for (int nProbe = 0; hClient != nullptr && nProbe < CLIENT_WAIT_PROBES; ++nProbe) {
        clock.Pause(CLIENT_WAIT_STEP_MS);
        CloseMutex(hClient);
        hClient = OpenExistingMutex(CLIENT_MUTEX);
    }
    const bool bEnded = hClient == nullptr;
    CloseMutex(hClient);
    return bEnded;
}

bool TakeSingleInstance(MutexHandle& hMutex) {
    bool bExisted = false;
    hMutex = CreateNamedMutex(UPDATER_MUTEX, &bExisted);
    if (!bExisted) return true;
    RaiseWindow(LoadText(IDS_WINDOW_TITLE).c_str());
    CloseMutex(hMutex);
    hMutex = nullptr;
    return false;
}

}  // namespace corvana
