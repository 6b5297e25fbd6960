#include "app/win32/updater_dialog.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include "platform/process.h"
#include "platform/text_table.h"
#include "run/command_line.h"
#include "run/update_run.h"

namespace corvana {

namespace {

// The worker's requests, carried out on the window's thread: lParam points at
// the request, and the worker waits in SendMessage until it has run. Only the
// request pending is run, once.
constexpr UINT WM_RUN_REQUEST = WM_APP + 1;

}  // namespace

UpdaterDialog::UpdaterDialog(UpdateRun& run) : m_logic(run) {
    m_hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

void UpdaterDialog::RunUntilClosed(const std::function<void()>& onShown) {
    m_onShown = onShown;
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UPDATER_DIALOG), nullptr,
                    DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK UpdaterDialog::DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_INITDIALOG) {
        SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        auto* pDialog = reinterpret_cast<UpdaterDialog*>(lParam);
        pDialog->m_hWnd = hWnd;
        return pDialog->OnInitDialog();
    }
    auto* pDialog = reinterpret_cast<UpdaterDialog*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    return pDialog != nullptr ? pDialog->OnMessage(nMessage, wParam, lParam) : FALSE;
}

BOOL UpdaterDialog::OnInitDialog() {
    // The system does not centre a dialog without an owner: this one opens centred.
    RECT window;
    GetWindowRect(m_hWnd, &window);
    const int nWidth = window.right - window.left;
    const int nHeight = window.bottom - window.top;
    SetWindowPos(m_hWnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - nWidth) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - nHeight) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    CoInitialize(nullptr);
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    SetWindowTextA(m_hWnd, LoadText(IDS_WINDOW_TITLE).c_str());

    // The run's first request is served once this function has returned and the
    // window's thread is back in its message loop.
    if (m_onShown) m_onShown();

    const std::string folder = DefaultInstallFolder();
    lstrcpynA(m_szDefaultFolder, folder.c_str(), sizeof m_szDefaultFolder);
    SetDlgItemTextA(m_hWnd, IDC_INSTALL_PATH, m_szDefaultFolder);
    return TRUE;
}

INT_PTR UpdaterDialog::OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
        case WM_NCHITTEST:
            // The whole panel is a title bar: dragged by any point. Buttons and the
            // progress bar answer their own hit tests; static texts let them through.
            SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, HTCAPTION);
            return TRUE;
        case WM_CLIENT_VERSION:
            m_logic.OnClientVersion(static_cast<int32_t>(lParam));
            return FALSE;
        case WM_RUN_REQUEST: {
            const std::function<void()>* pRequest = nullptr;
            {
                const std::lock_guard<std::mutex> lock(m_requestLock);
                if (m_pPendingRequest != nullptr &&
                    lParam == reinterpret_cast<LPARAM>(m_pPendingRequest)) {
                    std::swap(pRequest, m_pPendingRequest);
                }
            }
            // What a request throws goes back to the run's thread, never through
            // the system's window procedure.
            if (pRequest != nullptr) {
                try {
                    (*pRequest)();
                } catch (...) {
                    const std::lock_guard<std::mutex> lock(m_requestLock);
                    m_requestError = std::current_exception();
                }
            }
            return TRUE;
        }
        case WM_PAINT:
            if (IsIconic(m_hWnd)) {
                OnPaint();
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_hIcon);
        case WM_CLOSE:
            EndDialog(m_hWnd, IDCANCEL);  // the run's close request, or the keyboard
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_EXIT:
                    OnExit();
                    return TRUE;
                case IDC_INSTALL:
                    OnInstallNow();
                    return TRUE;
                case IDC_BROWSE:
                    OnBrowse();
                    return TRUE;
                case IDOK:
                    m_strInstallPath = ItemText(IDC_INSTALL_PATH);
                    EndDialog(m_hWnd, IDOK);
                    return TRUE;
                case IDCANCEL:
                    EndDialog(m_hWnd, IDCANCEL);
                    return TRUE;
                default:
                    return FALSE;
            }
        case WM_DESTROY:
            m_bEnded = true;  // from now on the worker's requests do nothing
            return FALSE;
        default:
            return FALSE;
    }
}

void UpdaterDialog::OnPaint() {
    PAINTSTRUCT paint;
    HDC hDc = BeginPaint(m_hWnd, &paint);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDc), 0);
    RECT client;
    GetClientRect(m_hWnd, &client);
    DrawIcon(hDc, (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
             (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, m_hIcon);
    EndPaint(m_hWnd, &paint);
}

void UpdaterDialog::OnExit() {
    const bool bEnd = m_logic.OnExit([this] {
        return MessageBoxA(m_hWnd, LoadText(IDS_CONFIRM_EXIT).c_str(),
                           LoadText(IDS_ABORT_CAPTION).c_str(), MB_OKCANCEL) == IDOK;
    });
    if (!bEnd) return;
    EndDialog(m_hWnd, IDCANCEL);
}

int CALLBACK UpdaterDialog::BrowseCallbackProc(HWND hWnd, UINT nMessage, LPARAM, LPARAM lpData) {
    if (nMessage == BFFM_INITIALIZED) {
        SendMessageA(hWnd, BFFM_SETSELECTIONA, TRUE, lpData);
        return 0;
    }
    return nMessage == BFFM_SELCHANGED ? 0 : 1;
}

void UpdaterDialog::OnBrowse() {
    m_strInstallPath = ItemText(IDC_INSTALL_PATH);
    const std::string title = LoadText(IDS_BROWSE_TITLE);
    const std::string start = DialogLogic::BrowseStart(m_strInstallPath, m_szDefaultFolder);

    BROWSEINFOA browse{};
    browse.hwndOwner = m_hWnd;
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    browse.lpfn = BrowseCallbackProc;
    // No folder is preselected while the field shows the default.
    browse.lParam =
        m_strInstallPath == m_szDefaultFolder ? 0 : reinterpret_cast<LPARAM>(start.c_str());
    LPITEMIDLIST pItems = SHBrowseForFolderA(&browse);
    if (pItems == nullptr) return;
    char szPath[512] = {};
    SHGetPathFromIDListA(pItems, szPath);
    IMalloc* pMalloc = nullptr;
    if (FAILED(SHGetMalloc(&pMalloc))) {
        char szModule[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, szModule, sizeof szModule);
        std::string caption = szModule;
        caption = caption.substr(caption.rfind('\\') + 1);
        caption = caption.substr(0, caption.rfind('.'));
        MessageBoxA(m_hWnd, LoadText(IDS_FOLDER_FAILED).c_str(), caption.c_str(), MB_OK);
        return;
    }
    pMalloc->Free(pItems);
    pMalloc->Release();
    if (szPath[0] == '\0') return;
    m_strInstallPath = DialogLogic::BrowseResult(szPath);
    SetDlgItemTextA(m_hWnd, IDC_INSTALL_PATH, m_strInstallPath.c_str());
}

void UpdaterDialog::OnInstallNow() {
    m_strInstallPath = ItemText(IDC_INSTALL_PATH);
    m_logic.OnInstallNow(m_strInstallPath);
}

std::string UpdaterDialog::ItemText(int nId) {
    char szText[1024] = {};
    GetDlgItemTextA(m_hWnd, nId, szText, sizeof szText);
    return szText;
}

void UpdaterDialog::Request(const std::function<void()>& request) {
    if (m_bEnded) return;
    {
        const std::lock_guard<std::mutex> lock(m_requestLock);
        m_pPendingRequest = &request;
    }
    SendMessageA(m_hWnd, WM_RUN_REQUEST, 0, reinterpret_cast<LPARAM>(&request));
    std::exception_ptr error;
    {
        const std::lock_guard<std::mutex> lock(m_requestLock);
        m_pPendingRequest = nullptr;
        std::swap(error, m_requestError);
    }
    if (error) std::rethrow_exception(error);
}

void UpdaterDialog::SetItemText(int nId, const std::string& text) {
    Request([&] { SetDlgItemTextA(m_hWnd, nId, text.c_str()); });
}

void UpdaterDialog::ShowItem(int nId, bool bShow) {
    Request([&] { ShowWindow(GetDlgItem(m_hWnd, nId), bShow ? SW_SHOW : SW_HIDE); });
}

void UpdaterDialog::SetProgressRange(int nMin, int nMax) {
    // The 16-bit range holds the update's 512 units for each of up to 100 entries;
    // a longer run (a repair of many archives) takes the 32-bit message.
    Request([&] {
        if (nMin >= 0 && nMax <= 0xFFFF) {
            SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(nMin, nMax));
        } else {
            SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETRANGE32, nMin, nMax);
        }
    });
}

void UpdaterDialog::SetProgressPos(int nPos) {
    Request([&] { SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS, nPos, 0); });
}

void UpdaterDialog::ClearConfirmExit() {
    Request([&] { m_logic.ClearConfirmExit(); });
}

void UpdaterDialog::ShowErrorBox(const std::string& text, const std::string& caption) {
    // Modal to the window, from the worker's thread; the window keeps serving.
    if (!m_bEnded) MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

void UpdaterDialog::PostClose() {
    if (!m_bEnded) PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
}

}  // namespace corvana
