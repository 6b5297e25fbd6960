// Drives the Windows updater's window from another process, for the end-to-end
// tests under Wine:
//   win_driver wait-window SECONDS           the window titled "CW - AutoUpdater" exists
//   win_driver wait-visible ID SECONDS       control ID of the window is visible
//   win_driver wait-text ID TEXT SECONDS     control ID's text contains TEXT (CP949 bytes)
//   win_driver text ID                       prints control ID's text
//   win_driver click ID                      presses button ID
//   win_driver close                         sends the window WM_CLOSE
//   win_driver key VK                        sends the window a key press (e.g. 27, Escape)
//   win_driver foreign-request               sends the window the worker's request message
//                                            (WM_APP + 1) with made-up pointers, as any
//                                            other program could
//   win_driver hittest ID                    prints the hit-test answer at the middle of
//                                            control ID (0: of the window itself)
//   win_driver owned-ok SECONDS              waits for a window the updater's window owns
//                                            (the folder browser) and presses its OK
//   win_driver box CAPTION SECONDS [BUTTON]  waits for a message box with CAPTION, prints
//                                            its text and presses BUTTON (default: OK)
//   win_driver dialog-font PROGRAM           prints the font of PROGRAM's window template:
//                                            its character set and its face
// Exit status 0 on success, 1 when the wait ran out.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "res/resource.h"

namespace {

const char* const kTitle = "CW - AutoUpdater";

template <typename Ready>
bool WaitFor(double dSeconds, Ready ready) {
    const DWORD dwUntil = GetTickCount() + static_cast<DWORD>(dSeconds * 1000);
    while (!ready()) {
        if (static_cast<LONG>(GetTickCount() - dwUntil) >= 0) return false;
        Sleep(50);
    }
    return true;
}

HWND Updater() { return FindWindowA(nullptr, kTitle); }

std::string TextOf(HWND hWnd) {
    char szText[2048] = {};
    // WM_GETTEXT through SendMessageTimeout: a busy window must not hang the driver.
    DWORD_PTR nResult = 0;
    SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof szText, reinterpret_cast<LPARAM>(szText),
                        SMTO_ABORTIFHUNG, 5000, &nResult);
    return szText;
}

HWND Control(int nId) {
    HWND hWnd = Updater();
    return hWnd != nullptr ? GetDlgItem(hWnd, nId) : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string command = argv[1];
    const auto arg = [&](int i) { return i < argc ? argv[i] : ""; };
    if (command == "wait-window") {
        return WaitFor(std::atof(arg(2)), [] { return Updater() != nullptr; }) ? 0 : 1;
    }
    if (command == "wait-visible") {
        const int nId = std::atoi(arg(2));
        return WaitFor(std::atof(arg(3)),
                       [&] {
                           HWND hItem = Control(nId);
                           return hItem != nullptr && IsWindowVisible(hItem);
                       })
                   ? 0
                   : 1;
    }
    if (command == "wait-text") {
        const int nId = std::atoi(arg(2));
        const std::string wanted = arg(3);
        return WaitFor(std::atof(arg(4)),
                       [&] {
                           HWND hItem = Control(nId);
                           return hItem != nullptr &&
                                  TextOf(hItem).find(wanted) != std::string::npos;
                       })
                   ? 0
                   : 1;
    }
    if (command == "text") {
        HWND hItem = Control(std::atoi(arg(2)));
        if (hItem == nullptr) return 1;
        std::fputs(TextOf(hItem).c_str(), stdout);
        return 0;
    }
    if (command == "dialog-font") {
        // The font of the program's window as its template names it: the template
        // is read from the program file, as the dialog manager reads it.
        HMODULE hProgram = LoadLibraryExA(arg(2), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC hFound =
            hProgram != nullptr
                ? FindResourceA(hProgram, MAKEINTRESOURCEA(IDD_UPDATER_DIALOG), RT_DIALOG)
                : nullptr;
        const auto* pWords =
            hFound != nullptr
                ? static_cast<const WORD*>(LockResource(LoadResource(hProgram, hFound)))
                : nullptr;
        if (pWords == nullptr || pWords[1] != 0xFFFF) return 1;  // not a DLGTEMPLATEEX
        // dlgVer, signature, helpID, exStyle, style, cDlgItems, x, y, cx, cy: 13 words.
        const WORD* p = pWords + 13;
        for (int nField = 0; nField < 3; ++nField) {  // menu, class, title
            if (*p == 0xFFFF) {
                p += 2;
            } else {
                while (*p++ != 0) {
                }
            }
        }
        const BYTE nCharSet =
            reinterpret_cast<const BYTE*>(p + 2)[1];  // after size and weight, italic
        char szFace[64] = {};
        WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(p + 3), -1, szFace, sizeof szFace,
                            nullptr, nullptr);
        std::printf("%d %s\n", nCharSet, szFace);
        return 0;
    }
    if (command == "click") {
        HWND hItem = Control(std::atoi(arg(2)));
        if (hItem == nullptr) return 1;
        PostMessageA(hItem, BM_CLICK, 0, 0);  // posted: a button may open a modal box
        return 0;
    }
    if (command == "close") {
        HWND hWnd = Updater();
        if (hWnd == nullptr) return 1;
        PostMessageA(hWnd, WM_CLOSE, 0, 0);
        return 0;
    }
    if (command == "key") {
        HWND hWnd = Updater();
        if (hWnd == nullptr) return 1;
        // Posted to the window: the dialog's own message loop turns Escape and
        // Enter into its Cancel and OK commands.
        const WPARAM nKey = static_cast<WPARAM>(std::atoi(arg(2)));
        PostMessageA(hWnd, WM_KEYDOWN, nKey, 0);
        PostMessageA(hWnd, WM_KEYUP, nKey, 0xC0000001);
        return 0;
    }
    if (command == "foreign-request") {
        HWND hWnd = Updater();
        if (hWnd == nullptr) return 1;
        for (const LPARAM lParam : {LPARAM{0}, LPARAM{0x10}, LPARAM{0x7FFE0000}}) {
            DWORD_PTR nResult = 0;
            SendMessageTimeoutA(hWnd, WM_APP + 1, 0, lParam, SMTO_ABORTIFHUNG, 5000, &nResult);
            PostMessageA(hWnd, WM_APP + 1, 0, lParam);
        }
        return 0;
    }
    if (command == "hittest") {
        HWND hWnd = Updater();
        if (hWnd == nullptr) return 1;
        const int nId = std::atoi(arg(2));
        HWND hTarget = nId == 0 ? hWnd : GetDlgItem(hWnd, nId);
        RECT box;
        GetWindowRect(hTarget, &box);
        DWORD_PTR nResult = 0;
        SendMessageTimeoutA(hTarget, WM_NCHITTEST, 0,
                            MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2),
                            SMTO_ABORTIFHUNG, 5000, &nResult);
        std::printf("%d", static_cast<int>(static_cast<LRESULT>(nResult)));
        return 0;
    }
    if (command == "owned-ok") {
        HWND hOwned = nullptr;
        if (!WaitFor(std::atof(arg(2)), [&] {
                HWND hWnd = Updater();
                hOwned = nullptr;
                for (HWND hTop = GetTopWindow(nullptr); hTop != nullptr && hWnd != nullptr;
                     hTop = GetWindow(hTop, GW_HWNDNEXT)) {
                    if (GetWindow(hTop, GW_OWNER) == hWnd && IsWindowVisible(hTop)) hOwned = hTop;
                }
                return hOwned != nullptr;
            })) {
            return 1;
        }
        Sleep(1000);  // the browser fills its tree and selects the start folder first
        DWORD_PTR nResult = 0;
        SendMessageTimeoutA(hOwned, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                            reinterpret_cast<LPARAM>(GetDlgItem(hOwned, IDOK)), SMTO_NORMAL, 5000,
                            &nResult);
        return 0;
    }
    if (command == "box") {
        const std::string caption = arg(2);
        HWND hBox = nullptr;
        if (!WaitFor(std::atof(arg(3)), [&] {
                hBox = FindWindowA("#32770", caption.c_str());
                return hBox != nullptr;
            })) {
            return 1;
        }
        Sleep(200);  // let the box finish laying itself out
        // A message box shows its text in a static control with id 0xFFFF.
        std::fputs(TextOf(GetDlgItem(hBox, 0xFFFF)).c_str(), stdout);
        // The button's command, sent as a click on it sends it: a simulated or a
        // posted click is not always taken by the box under Wine.
        const int nButton = argc > 4 ? std::atoi(argv[4]) : IDOK;
        DWORD_PTR nResult = 0;
        SendMessageTimeoutA(hBox, WM_COMMAND, MAKEWPARAM(nButton, BN_CLICKED),
                            reinterpret_cast<LPARAM>(GetDlgItem(hBox, nButton)), SMTO_NORMAL, 5000,
                            &nResult);
        return 0;
    }
    return 2;
}
