#include "run/update_run.h"

#include <algorithm>

#include "install/folder_guard.h"
#include "install/install_step.h"
#include "install/transaction.h"
#include "launch/launch.h"
#include "net/http_downloader.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/number_format.h"
#include "platform/own_path.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "run/command_line.h"
#include "run/patch_server.h"
#include "verify/patch_set.h"

namespace corvana {

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
constexpr int CODE_NOT_VERIFIED = -6;

// Why an install failed: the run's words for the step, then the first file
// operation that failed, with the system's words for it.
std::string InstallCause(const std::string& folder, const std::string& name, InstallResult result) {
    std::string cause;
    switch (result) {
        case InstallResult::NOT_SAVED:
            cause = folder + name + ": could not be saved";
            break;
        case InstallResult::NO_SPACE:
            return name + ": its items do not fit the free space in " + folder;
        case InstallResult::UNSAFE:
            return name + ": refused as unsafe (" + FirstFileError().reason + ")";
        default:
            cause = name + ": could not be unpacked whole";
            break;
    }
    const FileError& error = FirstFileError();
    if (!error.path.empty()) return cause + " (" + error.path + ": " + error.reason + ")";
    return result == InstallResult::NOT_SAVED ? cause : cause + " (a damaged archive)";
}

std::string SizeLine(uint32_t dwReceived, uint32_t dwLength) {
    return FormatText("%s / %s bytes",
                      FormatLocaleNumber(std::to_string(static_cast<long>(dwReceived)), -1).c_str(),
                      FormatLocaleNumber(std::to_string(static_cast<long>(dwLength)), -1).c_str());
}

}  // namespace

void SystemClock::Pause(uint32_t dwMs) { SleepMs(dwMs); }

uint32_t SystemClock::TickCount() { return GetTickCountMs(); }

void UpdateRun::Status(const std::string& text) { m_pView->ShowStatus(text); }

void UpdateRun::Status(int nStringId) { Status(LoadText(nStringId)); }

void UpdateRun::EntryStatus(const ManifestEntry& entry, int nStringId) {
    Status(FormatText("[%s] %s (%d/%d)", entry.strLabel.c_str(), LoadText(nStringId).c_str(),
                      m_progress.nEntry, m_progress.nEntries + 1));
}

void UpdateRun::EntryStep(const ManifestEntry& entry, int nStringId, int nUnits) {
    EntryStatus(entry, nStringId);
    Progress(nUnits);
}

void UpdateRun::Progress(int nUnits, uint32_t dwReceived, uint32_t dwLength) {
    m_progress.nUnits = nUnits;
    m_progress.dwReceived = dwReceived;
    m_progress.dwLength = dwLength;
    m_pView->ShowProgress(m_progress);
}

RunClock& UpdateRun::Clock() { return m_pClock != nullptr ? *m_pClock : m_systemClock; }

void UpdateRun::Pause(uint32_t dwMs) {
    if (m_pClock != nullptr) return m_pClock->Pause(dwMs);
    // The pauses before the window closes end early once the window has gone.
    constexpr uint32_t STEP_MS = 50;
    for (uint32_t dwDone = 0; dwDone < dwMs && !m_bCancel.load(std::memory_order_acquire);
         dwDone += STEP_MS) {
        SleepMs(std::min(STEP_MS, dwMs - dwDone));
    }
}

void UpdateRun::EndWith(RunOutcome outcome, int nCode, const std::string& message) {
    SetOutcome(outcome);
    return ReportError(nCode, message);
}

void UpdateRun::EndWithCode(RunOutcome outcome, int nCode) {
    SetOutcome(outcome);
    return ReportErrorCode(nCode);
}

void UpdateRun::Cancel() {
    m_bCancel.store(1, std::memory_order_release);
    // The folder matters only while the run waits for the choice; once it has
    // taken one, the folder is the run's alone.
    if (IsWaitingForInstallChoice()) m_strInstallFolder.clear();
    // After the cancel: the run sees both.
    m_bWaitInstallChoice.store(0, std::memory_order_release);
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

void UpdateRun::Run(const std::string& commandLine) {
    std::string launch = CLIENT_PROGRAM;

    Status(IDS_CHECKING_VERSION);
    m_pView->ShowSizeLine("");

    const std::string ownFolder =
        m_strOwnFolder ? *m_strOwnFolder : FolderOfPath(GetOwnProgramPath());
    const CommandSettings settings = ReadCommandLine(commandLine, ownFolder);
    m_nClientVersion = 0;
    const std::string baseUrl = MakeBaseUrl(GetPatchHost(), settings.bBeta);
    std::string folder = settings.strInstallFolder;

    // The client's version, or the folder to install into.
    const bool bClientStarted =
        settings.bFolderKnown && LaunchProgram(folder + "CW.exe checkversion") != 0;
    if (!bClientStarted) {
        m_nClientVersion = 0;
        if (!settings.bFolderKnown && !settings.bCheckVersion && !WaitForInstallChoice(folder)) {
            return;
        }
    }
    Clock().Pause(250);
    if (bClientStarted && !WaitForClientVersion()) return EndWithCode(RunOutcome::CANCELLED, -1);
    const int32_t nClientVersion = m_nClientVersion.load(std::memory_order_acquire);

    if (settings.bCheckVersion) {
        return EndWith(RunOutcome::LAUNCHED, -1,
                       FormatText("vc : %2.3f", 1 + nClientVersion * 0.001));
    }

    // What an interrupted run left is finished or discarded first.
    for (const std::string& note : RepairInstallFolder(folder)) m_pView->ExplainFailure(note);

    // The manifest.
    HttpDownloader& downloader = *m_pDownloader;
    if (!downloader.OpenInternet()) {
        Status(IDS_INTERNET_FAILED);
        return EndWith(RunOutcome::FAILED, -1, LoadText(IDS_NO_INTERNET_MESSAGE));
    }
    Status(IDS_SEARCHING_TARGETS);
    if (m_verifier.HasKey() && !AcceptSignedList(baseUrl, folder)) return;
    const std::string manifestUrl = baseUrl + MANIFEST_NAME;
    m_pView->NoteRequest(manifestUrl);
    const std::string manifest = downloader.DownloadToMemory(manifestUrl.c_str());
    if (IsManifestRefused(manifest)) {
        m_pView->ExplainFailure(downloader.GetFailure() != DownloadFailure::NONE
                                    ? DownloadCause(manifestUrl)
                                    : manifestUrl + ": not a manifest (empty, or a web page)");
        return EndServerUnreachable();
    }
    if (!m_verifier.VerifyFile(MANIFEST_NAME, downloader.GetBody())) {
        return EndUnverified(m_verifier.Cause());
    }
    // The set is on record before anything of it is installed: an older one is
    // refused from now on, even when this run goes no further.
    if (std::string cause; m_verifier.HasKey() && m_verifier.Timestamp() > m_nAcceptedTimestamp &&
                           !StoreAcceptedTimestamp(folder, m_verifier.Timestamp(), cause)) {
        return EndUnverified(cause);
    }
    const ManifestSelection selection = ReadManifest(manifest, nClientVersion);
    const int nCount = static_cast<int>(selection.vecEntries.size());
    m_progress = RunProgress{0, nCount, 0, 0, 0};
    m_pView->SetProgressRange(UNITS_PER_ENTRY * nCount);
    Progress(0);

    // The files.
    if (!RunPipeline(baseUrl, folder, selection, launch)) return;
    downloader.CloseInternet();

    if (nCount == 0) {
        if (IsUnknownClient(0, nClientVersion, selection.nHighest)) {
            Status(IDS_UNKNOWN_CLIENT);
            launch.clear();
            m_pView->OfferExitOnly();
            SetOutcome(RunOutcome::FAILED);
            Pause(10000);
            m_pView->Close();
        } else {
            Status(IDS_NOTHING_TO_PATCH);
            Clock().Pause(1200);
        }
    } else {
        const bool bInstallPackage = launch == SETUP_COMMAND;
        Status(bInstallPackage ? IDS_INSTALL_DONE : IDS_PATCH_DONE);
        Progress(UNITS_PER_ENTRY * nCount);
        Clock().Pause(750);
    }
    return Launch(folder, launch, settings.strLoginPart);
}

bool UpdateRun::WaitForInstallChoice(std::string& folder) {
    Status(IDS_CHOOSE_PATH);
    m_bWaitInstallChoice.store(1, std::memory_order_release);
    m_pView->AskInstallFolder(DefaultInstallFolder());
    while (IsWaitingForInstallChoice()) Clock().Pause(100);
    // The window stored the folder or the cancel before it cleared the flag.
    if (m_bCancel.load(std::memory_order_acquire)) {
        EndWithCode(RunOutcome::CANCELLED, 0);
        return false;
    }
    folder = m_strInstallFolder;
    m_pView->EndInstallChoice();
    return true;
}

bool UpdateRun::WaitForClientVersion() {
    Status(IDS_ANALYSING_CLIENT);
    const uint32_t dwStart = Clock().TickCount();
    for (;;) {
        Clock().Pause(50);
        if (m_nClientVersion.load(std::memory_order_acquire) != 0) return true;  // 0 is no answer
        if (Clock().TickCount() - dwStart > VERSION_WAIT_MS) {
            m_nClientVersion = VERSION_NO_ANSWER;
            return true;
        }
        if (m_bCancel.load(std::memory_order_acquire)) return false;
    }
}

bool UpdateRun::AcceptSignedList(const std::string& baseUrl, const std::string& folder) {
    HttpDownloader& downloader = *m_pDownloader;
    std::string texts[2];
    const char* names[2] = {CHECKSUMS_NAME, SIGNATURE_NAME};
    for (int i = 0; i < 2; ++i) {
        m_pView->NoteRequest(baseUrl + names[i]);
        downloader.DownloadToMemory((baseUrl + names[i]).c_str());
        const DownloadFailure failure = downloader.GetFailure();
        // A server that cannot be reached is that; one that lacks the file is refused.
        if (failure != DownloadFailure::NONE && failure != DownloadFailure::HTTP_STATUS) {
            m_pView->ExplainFailure(DownloadCause(baseUrl + names[i]));
            EndServerUnreachable();
            return false;
        }
        texts[i] = downloader.GetBody();
    }
    // A record that is there but cannot be read trusts no set.
    std::string cause;
    const std::optional<uint64_t> accepted = ReadAcceptedTimestamp(folder, cause);
    if (!accepted) {
        EndUnverified(cause);
        return false;
    }
    m_nAcceptedTimestamp = *accepted;
    if (!m_verifier.AcceptList(texts[0], texts[1], m_nAcceptedTimestamp)) {
        EndUnverified(m_verifier.Cause());
        return false;
    }
    return true;
}

std::string UpdateRun::DownloadCause(const std::string& url) const {
    const HttpDownloader& downloader = *m_pDownloader;
    std::string cause =
        url + " (" + DescribeEndpoint(url) + "): " + DescribeFailure(downloader.GetFailure());
    if (downloader.GetFailure() == DownloadFailure::HTTP_STATUS) {
        cause += " (HTTP " + std::to_string(downloader.GetHttpStatus()) + ")";
    }
    if (!downloader.GetFailureDetail().empty()) cause += ": " + downloader.GetFailureDetail();
    return cause;
}

void UpdateRun::EndUnverified(const std::string& cause) {
    m_pView->ExplainFailure(cause);
    return EndWithCode(RunOutcome::FAILED, CODE_NOT_VERIFIED);
}

bool UpdateRun::RunPipeline(const std::string& baseUrl, const std::string& folder,
                            const ManifestSelection& selection, std::string& launch) {
    HttpDownloader& downloader = *m_pDownloader;
    for (const ManifestEntry& entry : selection.vecEntries) {
        ++m_progress.nEntry;
        // A name that could leave the installation folder is never fetched.
        if (!entry.bSafeName) {
            m_pView->ExplainFailure(entry.strName +
                                    ": refused as unsafe (a name that leaves the folder or that "
                                    "the updater keeps)");
            EndWithCode(RunOutcome::FAILED, CODE_UNSAFE_NAME);
            return false;
        }
        if (entry.bInstallPackage) launch = SETUP_COMMAND;
        const int nBase = UNITS_PER_ENTRY * (m_progress.nEntry - 1);
        Progress(nBase);
        EntryStatus(entry, IDS_DOWNLOADING);
        if (!FetchEntry(baseUrl + entry.strName, nBase)) return false;

        // Nothing is saved that the publisher did not sign.
        if (!m_verifier.VerifyFile(entry.strName, downloader.GetBody())) {
            EndUnverified(m_verifier.Cause());
            return false;
        }
        const InstallResult result =
            InstallFile(folder, entry.strName, downloader.GetBody(), [&](InstallStage stage) {
                switch (stage) {
                    case InstallStage::SAVING:
                        return EntryStep(entry, IDS_INSTALLING, nBase + 501);
                    case InstallStage::COMPARING:
                        return EntryStep(entry, IDS_COMPARING, nBase + 506);
                    case InstallStage::UNPACKING:
                        return EntryStep(entry, IDS_UNPACKING, nBase + 507);
                    case InstallStage::INSTALLED:
                        return EntryStep(entry, IDS_INSTALLED, nBase + UNITS_PER_ENTRY);
                }
            });
        if (result != InstallResult::INSTALLED) {
            m_pView->ExplainFailure(InstallCause(folder, entry.strName, result));
            EndWithCode(RunOutcome::FAILED,
                        result == InstallResult::UNSAFE ? CODE_UNSAFE_NAME : CODE_NOT_INSTALLED);
            return false;
        }
        downloader.CloseUrl();
    }
    return true;
}

bool UpdateRun::FetchEntry(const std::string& url, int nBase) {
    HttpDownloader& downloader = *m_pDownloader;
    m_pView->NoteRequest(url);
    const uint32_t dwLength = downloader.OpenUrl(url.c_str());
    // Without a length (or with a refused one) the file cannot be fetched whole.
    if (dwLength == 0) {
        m_pView->ExplainFailure(downloader.GetFailure() != DownloadFailure::NONE
                                    ? DownloadCause(url)
                                    : url + ": the response announced a length of 0");
        EndServerUnreachable();
        return false;
    }
    for (uint32_t dwReceived = 0; dwReceived < dwLength;) {
        dwReceived += downloader.ReadChunk();
        Progress(nBase + static_cast<int>(uint64_t{500} * dwReceived / dwLength), dwReceived,
                 dwLength);
        m_pView->ShowSizeLine(SizeLine(dwReceived, dwLength));
        if (m_bCancel.load(std::memory_order_acquire)) {
            EndWithCode(RunOutcome::CANCELLED, -3);
            return false;
        }
        if (downloader.GetFailure() != DownloadFailure::NONE) {
            m_pView->ExplainFailure(DownloadCause(url));
            EndServerUnreachable();
            return false;
        }
    }
    return true;
}

void UpdateRun::EndServerUnreachable() {
    SetOutcome(RunOutcome::FAILED);
    Status(IDS_SERVER_UNREACHABLE);
    m_pView->OfferExitOnly();
    Pause(10000);
    m_pView->Close();
}

void UpdateRun::Launch(const std::string& folder, const std::string& launch,
                       const std::string& loginPart) {
    m_strLaunchFolder = folder;
    if (!launch.empty()) {
        bool bStarted = LaunchProgram(folder + launch, loginPart) != 0;
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
                bStarted = LaunchProgram(folder + CLIENT_PROGRAM, loginPart) != 0;
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
    if (GetOutcome() == RunOutcome::RUNNING) SetOutcome(RunOutcome::LAUNCHED);
    Pause(500);
    m_pView->Close();
}

void UpdateRun::ReportErrorCode(int nCode) {
    return ReportError(nCode, FormatText("%s : #%d", LoadText(IDS_ERROR_CODE).c_str(), nCode));
}

void UpdateRun::ReportError(int nCode, const std::string& message) {
    const std::string caption = LoadText(IDS_ERROR_CAPTION);
    if (m_pView != nullptr) {
        if (nCode != 0 && !message.empty()) m_pView->ShowErrorBox(message, caption);
        m_pView->Close();
    }
}

}  // namespace corvana
