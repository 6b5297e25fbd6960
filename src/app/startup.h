// Start-up: wait for the client to end, and run only once.
#pragma once

#include "platform/process.h"
#include "run/run_clock.h"

namespace corvana {

inline constexpr const char* CLIENT_MUTEX = "CW";
inline constexpr const char* UPDATER_MUTEX = "CWMutex-Updater";
inline constexpr int CLIENT_WAIT_PROBES = 50;
inline constexpr uint32_t CLIENT_WAIT_STEP_MS = 100;

// Waits while the client's mutex exists: up to 50 probes 100 ms apart. False
// when the client still runs after them.
bool WaitForClientToEnd(RunClock& clock);

// Takes the single-instance mutex into hMutex. When another updater holds it, asks
// that one's window to come to the front and returns false: this updater ends
// silently. A mutex that cannot be made at all does not stop the updater.
bool TakeSingleInstance(MutexHandle& hMutex);

}  // namespace corvana
