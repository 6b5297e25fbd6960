#include <shlobj.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"

namespace corvana {

bool StartProgram(const char* pszApplication, const char* pszCommandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // CreateProcessA may write into the command line, so it gets a copy.
    std::vector<char> commandLine(pszCommandLine, pszCommandLine + std::strlen(pszCommandLine) + 1);
    if (!CreateProcessA(pszApplication, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

MutexHandle OpenExistingMutex(const char* pszName) {
    return OpenMutexA(SYNCHRONIZE, FALSE, pszName);
}

MutexHandle CreateNamedMutex(const char* pszName, bool* pbExisted) {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, pszName);
    if (pbExisted != nullptr) *pbExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    return hMutex;
}

void CloseMutex(MutexHandle hMutex) {
    if (hMutex != nullptr) CloseHandle(hMutex);
}

bool SendClientVersion(const char* pszTitle, int32_t nVersion) {
    HWND hWnd = FindWindowA(nullptr, pszTitle);
    if (hWnd == nullptr) return false;
    SendMessageA(hWnd, WM_CLIENT_VERSION, 0, static_cast<LPARAM>(nVersion));
    return true;
}

bool RaiseWindow(const char* pszTitle) {
    HWND hWnd = FindWindowA(nullptr, pszTitle);
    if (hWnd == nullptr) return false;
    ShowWindow(hWnd, SW_RESTORE);
    SetForegroundWindow(hWnd);
    return true;
}

std::string GetProcessCommandLine(int, const char* const*) { return GetCommandLineA(); }

void SleepMs(uint32_t dwMs) { Sleep(dwMs); }

uint32_t GetTickCountMs() { return GetTickCount(); }

std::string GetProgramFilesFolder() {
    char szPath[MAX_PATH] = {};
    LPITEMIDLIST pItems = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAM_FILES, &pItems))) {
        SHGetPathFromIDListA(pItems, szPath);
        IMalloc* pMalloc = nullptr;
        if (SUCCEEDED(SHGetMalloc(&pMalloc))) {
            pMalloc->Free(pItems);
            pMalloc->Release();
        }
    }
    return szPath;
}

}  // namespace corvana
