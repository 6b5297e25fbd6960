#include "run/update_run.h"

#include <algorithm>

#include "archive/delta.h"
#include "install/folder_guard.h"
#include "install/install_step.h"
#include "install/transaction.h"
#include "launch/launch.h"
#include "net/fetcher.h"
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

constexpr uint32_t VERSION_WAIT_MS = 3000;
constexpr int32_t VERSION_NO_ANSWER = 170;
constexpr uint32_t SET_REFETCH_MS = 2000;

std::string SizeLine(uint32_t dwReceived, uint32_t dwLength) {
    return FormatText("%s / %s bytes",
                      FormatLocaleNumber(std::to_string(static_cast<long>(dwReceived)), -1).c_str(),
                      FormatLocaleNumber(std::to_string(static_cast<long>(dwLength)), -1).c_str());
}

}  // namespace

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

void UpdateRun::End(const Ending& ending) {
    RunOutcome expected = RunOutcome::RUNNING;
    m_outcome.compare_exchange_strong(expected, ending.outcome, std::memory_order_acq_rel);
    if (!ending.cause.empty()) m_pView->ExplainFailure(ending.cause);
    if (ending.nExitStatusId != 0) {
        Status(ending.nExitStatusId);
        m_pView->OfferExitOnly();
        Pause(10000);
        return m_pView->Close();
    }
    if (ending.outcome == RunOutcome::LAUNCHED && ending.nCode == 0) {
        Pause(500);
        return m_pView->Close();
    }
    if (!ending.message.empty()) return ReportError(ending.nCode, ending.message);
    return ReportErrorCode(ending.nCode);
}

UpdateRun::Ending UpdateRun::Unreachable(const std::string& url) const {
    return ExitButton(IDS_SERVER_UNREACHABLE, DescribeDownload(*m_pFetcher, url));
}

void UpdateRun::Run(const std::string& commandLine) {
    std::string launch = CLIENT_PROGRAM;

    Status(IDS_CHECKING_VERSION);
    m_pView->ShowSizeLine("");

    const std::string ownFolder =
        m_strOwnFolder ? *m_strOwnFolder : FolderOfPath(GetOwnProgramPath());
    const CommandSettings settings = ReadCommandLine(commandLine, ownFolder);
    m_nClientVersion = 0;
    m_bNoAnswer = false;
    const std::string baseUrl = MakeBaseUrl(GetPatchHost(), settings.bBeta);
    std::string folder = settings.strInstallFolder;
    if (settings.bRepair && !settings.bCheckVersion) {
        if (!m_verifier.HasKey()) {
            return End(Failed(CODE_NOT_VERIFIED,
                              "-REPAIR: this updater was built without the publisher's key, so "
                              "it has no signed list to check the files against"));
        }
        if (!settings.bFolderKnown || folder.empty()) {
            return End(Failed(-1,
                              "-REPAIR repairs the folder the updater is in: give "
                              "-THIS_FOLDER too"));
        }
    }

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
    if (bClientStarted && !WaitForClientVersion()) {
        return End(Box(RunOutcome::CANCELLED, -1));
    }
    const int32_t nClientVersion = m_nClientVersion.load(std::memory_order_acquire);

    if (settings.bCheckVersion) {
        return End(
            Box(RunOutcome::LAUNCHED, -1, FormatText("vc : %2.3f", 1 + nClientVersion * 0.001)));
    }

    // What an interrupted run left is finished or discarded first.
    for (const std::string& note : RepairInstallFolder(folder)) m_pView->ExplainFailure(note);

    // The manifest.
    if (!m_pFetcher->OpenInternet()) {
        Status(IDS_INTERNET_FAILED);
        return End(Box(RunOutcome::FAILED, -1, LoadText(IDS_NO_INTERNET_MESSAGE)));
    }
    Status(IDS_SEARCHING_TARGETS);
    const std::optional<std::string> manifest = FetchManifest(baseUrl, folder);
    if (!manifest) return;
    const ManifestSelection selection = ReadManifest(*manifest, nClientVersion);
    const int nCount = static_cast<int>(selection.vecEntries.size());
    m_progress = RunProgress{0, nCount, 0, 0, 0};
    m_pView->SetProgressRange(UNITS_PER_ENTRY * nCount);
    Progress(0);

    // The files, then the check of every file when a repair was asked for.
    if (!RunPipeline(baseUrl, folder, selection, launch)) return;
    m_nRepaired = 0;
    if (settings.bRepair && !Repair(baseUrl, folder, *manifest)) return;
    if (nCount > 0 || m_nRepaired > 0) m_strUpdatedFolder = folder;
    m_pFetcher->CloseInternet();

    if (nCount == 0 && m_nRepaired > 0) {
        Status(IDS_PATCH_DONE);
        Clock().Pause(750);
    } else if (nCount == 0) {
        if (IsUnknownClient(0, nClientVersion, selection.nHighest)) {
            // Nothing is started; the launch step only closes the window again.
            End(ExitButton(IDS_UNKNOWN_CLIENT,
                           UnknownClientCause(nClientVersion, selection.nHighest)));
            launch.clear();
        } else {
            Status(IDS_NOTHING_TO_PATCH);
            Clock().Pause(1200);
        }
    } else {
        Status(launch == SETUP_COMMAND ? IDS_INSTALL_DONE : IDS_PATCH_DONE);
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
        End(Box(RunOutcome::CANCELLED, 0));
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
            m_bNoAnswer = true;
            return true;
        }
        if (m_bCancel.load(std::memory_order_acquire)) return false;
    }
}

std::optional<std::string> UpdateRun::FetchManifest(const std::string& baseUrl,
                                                    const std::string& folder) {
    if (m_verifier.HasKey()) {
        // A record that is there but cannot be read trusts no set.
        const Expected<uint64_t> accepted = ReadAcceptedTimestamp(folder);
        if (!accepted) {
            End(Failed(CODE_NOT_VERIFIED, accepted.GetFailure().Text()));
            return std::nullopt;
        }
        m_nAcceptedTimestamp = *accepted;
    }
    // A set being replaced on the server can be seen half old, half new: a set
    // that does not verify is fetched once more, 2 s later, before it is refused.
    for (int nTry = 1;; ++nTry) {
        std::optional<Ending> refusal =
            m_verifier.HasKey() ? AcceptSignedList(baseUrl) : std::nullopt;
        if (!refusal) {
            const std::string url = baseUrl + MANIFEST_NAME;
            m_pView->NoteRequest(url);
            std::string manifest = m_pFetcher->DownloadToMemory(url.c_str());
            if (IsManifestRefused(manifest)) {
                refusal = m_pFetcher->GetFailure() != DownloadFailure::NONE
                              ? Unreachable(url)
                              : ExitButton(IDS_SERVER_UNREACHABLE,
                                           url + ": not a manifest (empty, or a web page)");
            } else if (!m_verifier.VerifyFile(MANIFEST_NAME, m_pFetcher->GetBody())) {
                refusal = Failed(CODE_NOT_VERIFIED, m_verifier.Cause());
            } else if (Result recorded = RecordAcceptedSet(folder); !recorded) {
                End(Failed(CODE_NOT_VERIFIED, recorded.GetFailure().Text()));
                return std::nullopt;
            } else {
                return manifest;
            }
        }
        if (refusal->nCode != CODE_NOT_VERIFIED || nTry == 2) {
            End(*refusal);
            return std::nullopt;
        }
        Clock().Pause(SET_REFETCH_MS);
    }
}

Result UpdateRun::RecordAcceptedSet(const std::string& folder) {
    // The set is on record before anything of it is installed: an older one is
    // refused from now on, even when this run goes no further.
    if (!m_verifier.HasKey() || m_verifier.Timestamp() <= m_nAcceptedTimestamp) return {};
    return StoreAcceptedTimestamp(folder, m_verifier.Timestamp());
}

std::optional<UpdateRun::Ending> UpdateRun::AcceptSignedList(const std::string& baseUrl) {
    std::string texts[2];
    const char* names[2] = {CHECKSUMS_NAME, SIGNATURE_NAME};
    for (int i = 0; i < 2; ++i) {
        const std::string url = baseUrl + names[i];
        m_pView->NoteRequest(url);
        m_pFetcher->DownloadToMemory(url.c_str());
        const DownloadFailure failure = m_pFetcher->GetFailure();
        // A server that cannot be reached is that; one that lacks the file is refused.
        if (failure != DownloadFailure::NONE && failure != DownloadFailure::HTTP_STATUS) {
            return Unreachable(url);
        }
        texts[i] = m_pFetcher->GetBody();
    }
    if (!m_verifier.AcceptList(texts[0], texts[1], m_nAcceptedTimestamp)) {
        return Failed(CODE_NOT_VERIFIED, m_verifier.Cause());
    }
    return std::nullopt;
}

bool UpdateRun::RunPipeline(const std::string& baseUrl, const std::string& folder,
                            const ManifestSelection& selection, std::string& launch) {
    for (const ManifestEntry& entry : selection.vecEntries) {
        ++m_progress.nEntry;
        // A name that could leave the installation folder is never fetched.
        if (!entry.bSafeName) {
            End(Failed(CODE_UNSAFE_NAME, entry.strName + ": refused as unsafe (a name that leaves "
                                                         "the folder or that the updater keeps)"));
            return false;
        }
        if (entry.bInstallPackage) launch = SETUP_COMMAND;
        if (!InstallEntry(baseUrl, folder, entry)) return false;
    }
    return true;
}

bool UpdateRun::InstallEntry(const std::string& baseUrl, const std::string& folder,
                             const ManifestEntry& entry) {
    const int nBase = UNITS_PER_ENTRY * (m_progress.nEntry - 1);
    const auto onStage = [&](InstallStage stage) {
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
    };
    // With a delta that the signed list names only what changed is fetched; one
    // that does not fit the folder leaves the entry to its full archive.
    const std::string deltaName = entry.strName + DELTA_SUFFIX;
    for (const bool bDelta : {true, false}) {
        if (bDelta && !m_verifier.Lists(deltaName)) continue;
        const std::string& name = bDelta ? deltaName : entry.strName;
        Progress(nBase);
        EntryStatus(entry, IDS_DOWNLOADING);
        if (!FetchEntry(baseUrl + name, nBase)) return false;
        // Nothing is saved that the publisher did not sign.
        const std::string_view body = m_pFetcher->GetBody();
        if (!m_verifier.VerifyFile(name, body)) {
            End(Failed(CODE_NOT_VERIFIED, m_verifier.Cause()));
            return false;
        }
        const InstallOutcome installed =
            bDelta ? InstallFromDelta(folder, entry.strName, body, onStage)
                   : InstallFile(folder, entry.strName, body, onStage);
        m_pFetcher->CloseUrl();
        if (installed.result == InstallResult::INSTALLED) return true;
        if (installed.result != InstallResult::DELTA_UNUSABLE) {
            End(Failed(
                installed.result == InstallResult::UNSAFE ? CODE_UNSAFE_NAME : CODE_NOT_INSTALLED,
                installed.failure.Text()));
            return false;
        }
        m_pView->Note(installed.failure.Text() + "; " + entry.strName + " is fetched whole");
    }
    return false;  // the full archive's pass has returned
}

bool UpdateRun::FetchEntry(const std::string& url, int nBase) {
    m_pView->NoteRequest(url);
    const uint32_t dwLength = m_pFetcher->OpenUrl(url.c_str());
    // Without a length (or with a refused one) the file cannot be fetched whole.
    if (dwLength == 0) {
        End(m_pFetcher->GetFailure() != DownloadFailure::NONE
                ? Unreachable(url)
                : ExitButton(IDS_SERVER_UNREACHABLE,
                             url + ": the response announced a length of 0"));
        return false;
    }
    for (uint32_t dwReceived = 0; dwReceived < dwLength;) {
        dwReceived += m_pFetcher->ReadChunk();
        Progress(nBase + static_cast<int>(uint64_t{500} * dwReceived / dwLength), dwReceived,
                 dwLength);
        m_pView->ShowSizeLine(SizeLine(dwReceived, dwLength));
        if (m_bCancel.load(std::memory_order_acquire)) {
            End(Box(RunOutcome::CANCELLED, -3));
            return false;
        }
        if (m_pFetcher->GetFailure() != DownloadFailure::NONE) {
            End(Unreachable(url));
            return false;
        }
    }
    return true;
}

void UpdateRun::Launch(const std::string& folder, const std::string& launch,
                       const std::string& loginPart) {
    if (launch.empty()) return End(Box(RunOutcome::LAUNCHED, 0));
    const LaunchSteps steps{[this](const std::string& text) { Status(text); },
                            [this](uint32_t dwMs) { Pause(dwMs); }};
    switch (LaunchFromFolder(folder, launch, loginPart, steps)) {
        case LaunchResult::STARTED:
            return End(Box(RunOutcome::LAUNCHED, 0));
        case LaunchResult::CLIENT_NOT_STARTED:
            return End(Box(RunOutcome::FAILED, -1, LoadText(IDS_CANNOT_RUN_MAIN)));
        case LaunchResult::PACKAGE_NOT_STARTED:
            return End(Box(RunOutcome::FAILED, -1, LoadText(IDS_INSTALL_INCOMPLETE)));
    }
}

std::string UpdateRun::UnknownClientCause(int32_t nVersion, int32_t nHighest) const {
    const std::string version = FormatText("%d (%.3f)", nVersion, 1 + nVersion * 0.001);
    const std::string client =
        m_bNoAnswer ? FormatText(
                          "%s gave no answer to \"CW.exe checkversion\" within %u s and "
                          "was taken as version ",
                          CLIENT_PROGRAM, VERSION_WAIT_MS / 1000) +
                          version
                    : "the installed client reports version " + version;
    return client + ", newer than every entry of the manifest (the highest is " +
           std::to_string(nHighest) + ")";
}

void UpdateRun::ReportErrorCode(int nCode) {
    return ReportError(nCode, FormatText("%s : #%d", LoadText(IDS_ERROR_CODE).c_str(), nCode));
}

void UpdateRun::ReportError(int nCode, const std::string& message) {
    if (nCode != 0 && !message.empty()) {
        m_pView->ShowErrorBox(message, LoadText(IDS_ERROR_CAPTION));
    }
    m_pView->Close();
}

}  // namespace corvana
