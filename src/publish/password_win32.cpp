#include <windows.h>

#include <cstdio>

#include "publish/password.h"

namespace corvana {

Expected<std::string> AskPassword(const std::string& prompt) {
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    if (hInput == INVALID_HANDLE_VALUE || !GetConsoleMode(hInput, &dwMode)) {
        return Failure{{}, "no console to ask for the password on (give --password-file)"};
    }
    SetConsoleMode(hInput, dwMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::fputs(prompt.c_str(), stderr);
    std::string password;
    char c = 0;
    DWORD dwRead = 0;
    while (ReadFile(hInput, &c, 1, &dwRead, nullptr) && dwRead == 1 && c != '\n') password += c;
    SetConsoleMode(hInput, dwMode);
    std::fputs("\n", stderr);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace corvana
