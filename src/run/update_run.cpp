#include "run/update_run.h"

#include "app/updater_window.h"
#include "archive/item_name.h"
#include "launch/launch.h"
#include "net/http_downloader.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/number_format.h"
#include "platform/own_path.h"
#include "platform/process.h"
#include "platform/text_table.h"
#include "run/command_line.h"
#include "run/patch_server.h"
#include "run/text.h"

namespace corvana {

namespace {

bool SubkeyExists(RegistryKey key, const char* pszName) {
    RegistryKey subkey = nullptr;
    if (RegistryOpenFull(key, pszName, &subkey) != 0) return false;
    RegistryClose(subkey);
    return true;
}

}  // namespace

namespace {

constexpr int UNITS_PER_ENTRY = 512;
constexpr uint32_t VERSION_WAIT_MS = 3000;
constexpr int32_t VERSION_NO_ANSWER = 170;
constexpr int SETUP_DELETE_ATTEMPTS = 6;
constexpr const char* CLIENT_PROGRAM = "cw.exe";
constexpr const char* SETUP_COMMAND = "setup.exe -install";

// Codes of the endings added to the run's own (0, -1, -3).
constexpr int CODE_UNSAFE_NAME = -4;
constexpr int CODE_NOT_INSTALLED = -5;

// The entry status: "[label] step (number/selected + 1)".
std::string EntryStatus(const std::string& label, int nStep, int nNumber, int nCount) {
    return FormatText("[%s] %s (%d/%d)", label.c_str(), LoadText(nStep).c_str(), nNumber,
                      nCount + 1);
}

std::string SizeLine(uint32_t dwReceived, uint32_t dwLength) {
    return FormatText("%s / %s bytes",
                      FormatLocaleNumber(std::to_string(static_cast<long>(dwReceived)), -1).c_str(),
                      FormatLocaleNumber(std::to_string(static_cast<long>(dwLength)), -1).c_str());
}

}  // namespace

void SystemClock::Pause(uint32_t dwMs) { SleepMs(dwMs); }

uint32_t SystemClock::TickCount() { return GetTickCountMs(); }

void UpdateRun::Status(const std::string& text) { m_pDialog->SetItemText(IDC_STATUS, text); }

void UpdateRun::Status(int nStringId) { Status(LoadText(nStringId)); }

RunClock& UpdateRun::Clock() { return m_pClock != nullptr ? *m_pClock : m_systemClock; }

void UpdateRun::Pause(uint32_t dwMs) { Clock().Pause(dwMs); }

int UpdateRun::EndWith(RunOutcome outcome, int nCode, std::string message) {
    m_nOutcome = outcome;
    return ReportError(nCode, std::move(message));
}

int UpdateRun::EndWithCode(RunOutcome outcome, int nCode) {
    m_nOutcome = outcome;
    return ReportErrorCode(nCode);
}

int UpdateRun::Run(std::string commandLine) {
    std::string launch = CLIENT_PROGRAM;
    std::string folder;

    Status(IDS_CHECKING_VERSION);
    m_pDialog->SetItemText(IDC_SIZE, "");

    const std::string ownFolder =
        m_strOwnFolder ? *m_strOwnFolder : FolderOfPath(GetOwnProgramPath());
    const CommandSettings settings = ReadCommandLine(commandLine, ownFolder);
    m_nClientVersion = 0;
    const std::string baseUrl = MakeBaseUrl(GetPatchHost(), settings.bBeta);
    m_bCheckVersion = settings.bCheckVersion ? 1 : 0;
    m_bFolderKnown = settings.bFolderKnown ? 1 : 0;
    folder = settings.strInstallFolder;

    // The client's version, or the folder to install into.
    bool bClientStarted = false;
    if (m_bFolderKnown) bClientStarted = LaunchProgram(folder + "CW.exe checkversion") != 0;
    if (!bClientStarted) {
        m_bBusy = 0;
        m_nClientVersion = 0;
        if (!m_bFolderKnown && !m_bCheckVersion && !WaitForInstallChoice(folder)) return 0;
    }
    Clock().Pause(250);
    if (m_bBusy) {
        Status(IDS_ANALYSING_CLIENT);
        const uint32_t dwStart = Clock().TickCount();
        for (;;) {
            Clock().Pause(50);
            if (m_nClientVersion != 0) break;  // an answer of 0 is no answer
            if (Clock().TickCount() - dwStart > VERSION_WAIT_MS) {
                m_nClientVersion = VERSION_NO_ANSWER;
                break;
            }
            if (m_bCancel) return EndWithCode(RunOutcome::CANCELLED, -1);
        }
    }

    if (m_bCheckVersion) {
        return EndWith(RunOutcome::LAUNCHED, -1,
                       FormatText("vc : %2.3f", 1 + m_nClientVersion * 0.001));
    }

    // The manifest.
    HttpDownloader& downloader = *m_pDownloader;
    if (!downloader.OpenInternet()) {
        Status(IDS_INTERNET_FAILED);
        return EndWith(RunOutcome::FAILED, -1, LoadText(IDS_NO_INTERNET_MESSAGE));
    }
    Status(IDS_SEARCHING_TARGETS);
    const std::string manifest =
        downloader.DownloadToMemory((baseUrl + MANIFEST_NAME).c_str());  // copied at once
    if (IsManifestRefused(manifest)) return EndServerUnreachable();
    const ManifestSelection selection = ReadManifest(manifest, m_nClientVersion);
    const int nCount = static_cast<int>(selection.vecEntries.size());
    m_pDialog->SetProgressRange(0, UNITS_PER_ENTRY * nCount);
    m_pDialog->SetProgressPos(0);
    m_bInstallPackage = 0;

    // The files.
    if (!RunPipeline(baseUrl, folder, selection, launch)) return 0;
    downloader.CloseInternet();

    if (nCount == 0) {
        if (IsUnknownClient(0, m_nClientVersion, selection.nHighest)) {
            Status(IDS_UNKNOWN_CLIENT);
            launch.clear();
            m_pDialog->ClearConfirmExit();
            m_pDialog->ShowItem(IDC_EXIT, true);
            m_nOutcome = RunOutcome::FAILED;
            Clock().Pause(10000);
            m_pDialog->PostClose();
        } else {
            Status(IDS_NOTHING_TO_PATCH);
            Clock().Pause(1200);
        }
    } else {
        Status(m_bInstallPackage ? IDS_INSTALL_DONE : IDS_PATCH_DONE);
        m_pDialog->SetProgressPos(UNITS_PER_ENTRY * nCount);
        Clock().Pause(750);
    }
    return Launch(folder, launch);
}

bool UpdateRun::WaitForInstallChoice(std::string& folder) {
    Status(IDS_CHOOSE_PATH);
    m_bWaitInstallChoice = 1;
    m_pDialog->SetItemText(IDC_BROWSE, LoadText(IDS_BROWSE));
    m_pDialog->SetItemText(IDC_INSTALL, LoadText(IDS_INSTALL_NOW));
    m_pDialog->SetItemText(IDC_EXIT, LoadText(IDS_EXIT));
    for (int nId : {IDC_PROGRESS, IDC_SIZE}) m_pDialog->ShowItem(nId, false);
    for (int nId : {IDC_INSTALL_PATH, IDC_BROWSE, IDC_INSTALL, IDC_EXIT}) {
        m_pDialog->ShowItem(nId, true);
    }
    while (m_bWaitInstallChoice) Clock().Pause(100);
    // The window stored the folder or the cancel before it cleared the flag.
    if (m_bCancel) {
        EndWithCode(RunOutcome::CANCELLED, 0);
        return false;
    }
    folder = m_strInstallFolder;
    m_bWaitInstallChoice = 0;
    for (int nId : {IDC_PROGRESS, IDC_SIZE}) m_pDialog->ShowItem(nId, true);
    for (int nId : {IDC_INSTALL_PATH, IDC_BROWSE, IDC_INSTALL, IDC_EXIT}) {
        m_pDialog->ShowItem(nId, false);
    }
    return true;
}

bool UpdateRun::RunPipeline(const std::string& baseUrl, const std::string& folder,
                            const ManifestSelection& selection, std::string& launch) {
    HttpDownloader& downloader = *m_pDownloader;
    const int nCount = static_cast<int>(selection.vecEntries.size());
    for (int i = 0; i < nCount; ++i) {
        ManifestEntry entry = SplitEntry(selection.vecEntries[i], i + 1);
        entry.strLabel = DecodeServerText(entry.strLabel);
        // A name that could leave the installation folder is never fetched.
        if (!IsSafeItemName(entry.strName)) {
            EndWithCode(RunOutcome::FAILED, CODE_UNSAFE_NAME);
            return false;
        }
        if (IsInstallPackage(entry)) {
            launch = SETUP_COMMAND;
            m_bInstallPackage = 1;
        }
        const int nBase = UNITS_PER_ENTRY * i;
        m_pDialog->SetProgressPos(nBase);
        Status(EntryStatus(entry.strLabel, IDS_DOWNLOADING, i + 1, nCount));
        if (!FetchEntry(baseUrl + entry.strName, nBase)) return false;

        const std::string path = folder + entry.strName;
        Status(EntryStatus(entry.strLabel, IDS_INSTALLING, i + 1, nCount));
        m_pDialog->SetProgressPos(nBase + 501);
        if (!downloader.SaveToFile(path.c_str())) {
            EndWithCode(RunOutcome::FAILED, CODE_NOT_INSTALLED);
            return false;
        }
        Status(EntryStatus(entry.strLabel, IDS_COMPARING, i + 1, nCount));
        m_pDialog->SetProgressPos(nBase + 506);
        Status(EntryStatus(entry.strLabel, IDS_UNPACKING, i + 1, nCount));
        m_pDialog->SetProgressPos(nBase + 507);
        bool bExtracted = false;
        const bool bArchive = downloader.UnzipFile(path.c_str(), &bExtracted);
        if (bArchive && !bExtracted) {
            DeleteOneFile(path.c_str());
            EndWithCode(RunOutcome::FAILED, CODE_NOT_INSTALLED);
            return false;
        }
        Status(EntryStatus(entry.strLabel, IDS_INSTALLED, i + 1, nCount));
        m_pDialog->SetProgressPos(nBase + UNITS_PER_ENTRY);
        // An archive goes once unpacked; any other file is what was to be installed.
        if (bArchive) {
            DeleteOneFile(path.c_str());
        } else {
            SetNormalAttributes(path.c_str());
        }
        downloader.CloseUrl();
    }
    return true;
}

bool UpdateRun::FetchEntry(const std::string& url, int nBase) {
    HttpDownloader& downloader = *m_pDownloader;
    const uint32_t dwLength = downloader.OpenUrl(url.c_str());
    m_bBusy = 1;
    uint32_t dwReceived = 0;
    // Without a length (or with a refused one) the file cannot be fetched whole.
    if (dwLength == 0) {
        EndServerUnreachable();
        return false;
    }
    while (m_bBusy) {
        dwReceived += downloader.ReadChunk();
        m_pDialog->SetProgressPos(nBase + static_cast<int>(uint64_t{500} * dwReceived / dwLength));
        if (dwReceived >= dwLength) m_bBusy = 0;
        m_pDialog->SetItemText(IDC_SIZE, SizeLine(dwReceived, dwLength));
        if (m_bCancel) {
            EndWithCode(RunOutcome::CANCELLED, -3);
            return false;
        }
        if (downloader.GetFailure() != DownloadFailure::NONE) {
            EndServerUnreachable();
            return false;
        }
    }
    return true;
}

int UpdateRun::EndServerUnreachable() {
    m_nOutcome = RunOutcome::FAILED;
    Status(IDS_SERVER_UNREACHABLE);
    m_pDialog->ClearConfirmExit();
    m_pDialog->ShowItem(IDC_EXIT, true);
    Pause(10000);
    m_pDialog->PostClose();
    return 0;
}

int UpdateRun::Launch(const std::string& folder, const std::string& launch) {
    if (!launch.empty()) {
        bool bStarted = LaunchProgram(folder + launch) != 0;
        bool bPackageLaunched = false;
        if (!EqualsNoCase(launch, CLIENT_PROGRAM)) {
            Status(IDS_INSTALL_DONE);
            std::string setup = launch.substr(0, launch.find("-install"));
            setup.erase(setup.find_last_not_of(' ') + 1);
            for (int nAttempt = 0; nAttempt < SETUP_DELETE_ATTEMPTS; ++nAttempt) {
                Pause(500);
                if (DeleteOneFile((folder + setup).c_str())) break;
            }
            bPackageLaunched = true;
            if (!bStarted) {
                Status(FormatText("%s %s", launch.c_str(),
                                  LoadText(IDS_RUN_FAILED_TRY_CLIENT).c_str()));
                Pause(500);
                bStarted = LaunchProgram(folder + CLIENT_PROGRAM) != 0;
            }
        }
        if (!bStarted) {
            Status(FormatText("%s %s", launch.c_str(), LoadText(IDS_RUN_FAILED).c_str()));
            Pause(500);
            if (bPackageLaunched) {
                Status(IDS_UNKNOWN_ERROR);
                Pause(500);
                char szName[REGISTRY_NAME_SIZE];
                DeleteRegistryTree(RegistryLocalMachine(), INSTALL_PATH_KEY, szName);
                return EndWith(RunOutcome::FAILED, -1, LoadText(IDS_INSTALL_INCOMPLETE));
            }
            return EndWith(RunOutcome::FAILED, -1, LoadText(IDS_CANNOT_RUN_MAIN));
        }
    }
    if (m_nOutcome == RunOutcome::RUNNING) m_nOutcome = RunOutcome::LAUNCHED;
    Pause(500);
    m_pDialog->PostClose();
    return 0;
}

int UpdateRun::ReportErrorCode(int nCode) {
    return ReportError(nCode, FormatText("%s : #%d", LoadText(IDS_ERROR_CODE).c_str(), nCode));
}

int UpdateRun::ReportError(int nCode, std::string message) {
    const std::string caption = LoadText(IDS_ERROR_CAPTION);
    if (m_pDialog != nullptr) {
        if (nCode != 0 && !message.empty()) m_pDialog->ShowErrorBox(message, caption);
        m_pDialog->PostClose();
    }
    return 0;
}

int UpdateRun::DeleteRegistryTree(RegistryKey parent, const char* pszPath, char* pszNameBuffer) {
    RegistryKey key = nullptr;
    if (RegistryOpenFull(parent, pszPath, &key) != 0) return -1;
    for (uint32_t nIndex = 0;;) {
        const long nResult = RegistryEnumKey(key, nIndex, pszNameBuffer, REGISTRY_NAME_SIZE);
        // The end of the list, or a failure the walk cannot get past, ends it.
        if (nResult != 0) break;
        char szChildName[REGISTRY_NAME_SIZE];  // a fresh buffer for the level below
        const int nChild = DeleteRegistryTree(key, pszNameBuffer, szChildName);
        if (nChild == -1) {
            RegistryClose(key);
            return 1;
        }
        // A deleted subkey's place is taken by the next one; one still there is passed.
        if (nChild != 0 || SubkeyExists(key, pszNameBuffer)) ++nIndex;
    }
    RegistryClose(key);
    RegistryDelete(parent, pszPath);
    return 0;
}

}  // namespace corvana
