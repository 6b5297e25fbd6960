// Starting other programs, the named mutexes that tell whether a program runs,
// and the messages that reach the updater's window from another process.
#pragma once

#include <cstdint>
#include <string>

namespace corvana {

// Starts a program and does not wait for it (nor leaves anything to reap).
// Without pszApplication the program is found from the leading words of
// pszCommandLine, as Windows does for an unquoted path: each blank, left to
// right, is tried as the end of the program's path. With it, pszCommandLine is
// the whole argument text (Windows: the program's whole command line; Linux:
// argv[1...], after the program's own path). True when the program was started.
bool StartProgram(const char* pszApplication, const char* pszCommandLine);

using MutexHandle = void*;

// An existing named mutex, without creating it; nullptr when there is none.
MutexHandle OpenExistingMutex(const char* pszName);
// Creates the named mutex (not owned) and says whether it existed already.
MutexHandle CreateNamedMutex(const char* pszName, bool* pbExisted);
void CloseMutex(MutexHandle hMutex);

inline constexpr uint32_t WM_CLIENT_VERSION = 0x805B;  // WM_APP + 91

// Finds the top-level window titled exactly pszTitle and sends it
// WM_CLIENT_VERSION with nVersion; false when there is no such window.
bool SendClientVersion(const char* pszTitle, int32_t nVersion);
// Finds it and asks it to restore itself and come to the front.
bool RaiseWindow(const char* pszTitle);

// The process's command line as the system gives it (Linux: the argument vector
// joined by blanks, the first word standing for the program).
std::string GetProcessCommandLine(int argc, const char* const* argv);

// Pauses the calling thread.
void SleepMs(uint32_t dwMs);
// Milliseconds since some fixed moment (wraps like the Windows tick count).
uint32_t GetTickCountMs();

// The system's program files folder (Linux: $XDG_DATA_HOME, else ~/.local/share).
std::string GetProgramFilesFolder();

}  // namespace corvana
