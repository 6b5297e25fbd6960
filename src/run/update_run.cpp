#include "run/update_run.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "archive/delta.h"
#include "install/file_index.h"
#include "install/transaction.h"
#include "launch/launch.h"
#include "net/fetcher.h"
#include "platform/own_path.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "run/archive_step.h"
#include "run/body_fetch.h"
#include "run/patch_server.h"
#include "run/set_fetch.h"
#include "run/verify_and_repair.h"

namespace corvana {

namespace {

// The client's answer: awaited in steps, for so long, after a first pause.
constexpr uint32_t BEFORE_VERSION_WAIT_MS = 250;
constexpr uint32_t VERSION_POLL_MS = 50;
constexpr uint32_t VERSION_WAIT_MS = 3000;
constexpr int32_t VERSION_NO_ANSWER = 170;
constexpr uint32_t CHOICE_POLL_MS = 100;
// The pauses of the results and the endings.
constexpr uint32_t NOTHING_TO_PATCH_MS = 1200;
constexpr uint32_t PATCH_DONE_MS = 750;
constexpr uint32_t EXIT_BUTTON_MS = 10000;
constexpr uint32_t BEFORE_CLOSE_MS = 500;

// The size of the plain file at path ('/' separated) below root; 0 when there is none.
uint64_t SizeBelow(const FolderHandle& root, const std::string& path) {
    const std::size_t nCut = path.rfind('/');
    const Expected<FolderHandle> folder =
        root.OpenBelow(nCut == std::string::npos ? std::string() : path.substr(0, nCut), false);
    if (!folder) return 0;
    const Expected<DataFile> file =
        (*folder).OpenDataFile(nCut == std::string::npos ? path : path.substr(nCut + 1), true);
    return file ? (*file).Size() : 0;
}

// The most the selected entries occupy on the disk at once while they are
// installed, by the signed index: what the earlier entries added, and then the
// entry's fetched archive and its staged files together (each about its files'
// size); and the same with the archives of the PREFETCH_AHEAD entries after it
// fetched meanwhile. 0 when the index does not name every entry's files.
struct SpaceNeed {
    uint64_t nAlone = 0;
    uint64_t nWithAhead = 0;
};
SpaceNeed SpaceNeeded(const std::vector<ManifestEntry>& entries,
                      const std::map<std::string, IndexedFile>& index, const FolderHandle& root) {
    struct Entry {
        uint64_t nFiles = 0;  // its files' sizes
        int64_t nGrowth = 0;  // what they add to the folder
    };
    std::map<std::string, Entry> byArchive;
    for (const auto& [path, file] : index) {
        Entry& entry = byArchive[file.archive];
        entry.nFiles += file.nSize;
        entry.nGrowth +=
            static_cast<int64_t>(file.nSize) - static_cast<int64_t>(SizeBelow(root, path));
    }
    std::vector<const Entry*> selected;
    for (const ManifestEntry& entry : entries) {
        const auto found = byArchive.find(entry.strName);
        if (found == byArchive.end()) return {};
        selected.push_back(&found->second);
    }
    int64_t nAdded = 0;
    SpaceNeed need;
    for (std::size_t i = 0; i < selected.size(); ++i) {
        const uint64_t nAlone =
            static_cast<uint64_t>(std::max<int64_t>(nAdded, 0)) + 2 * selected[i]->nFiles;
        uint64_t nAhead = 0;
        for (std::size_t j = i + 1; j < selected.size() && j <= i + PREFETCH_AHEAD; ++j) {
            nAhead += selected[j]->nFiles;
        }
        need.nAlone = std::max(need.nAlone, nAlone);
        need.nWithAhead = std::max(need.nWithAhead, nAlone + nAhead);
        nAdded += selected[i]->nGrowth;
    }
    const uint64_t nAtEnd = static_cast<uint64_t>(std::max<int64_t>(nAdded, 0));
    return {std::max(need.nAlone, nAtEnd), std::max(need.nWithAhead, nAtEnd)};
}

// The files the entries are installed from, in their order, for the prefetch:
// each entry's delta where the signed list names one, else its archive. The
// list ends before an unsafe name, and before a name that recurs (the run
// itself may then fetch a file that a connection has in hand).
std::vector<std::string> PrefetchNames(const std::vector<ManifestEntry>& entries,
                                       const PatchSetVerifier& verifier) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const ManifestEntry& entry : entries) {
        if (!entry.bSafeName || !seen.insert(entry.strName).second) break;
        const std::string deltaName = entry.strName + DELTA_SUFFIX;
        names.push_back(verifier.Lists(deltaName) ? deltaName : entry.strName);
    }
    return names;
}

}  // namespace

RunClock& UpdateRun::Clock() { return m_pClock != nullptr ? *m_pClock : m_systemClock; }

void UpdateRun::Pause(uint32_t dwMs) {
    if (m_pClock != nullptr) return m_pClock->Pause(dwMs);
    // The pauses before the window closes end early once the window has gone.
    constexpr uint32_t STEP_MS = 50;
    for (uint32_t dwDone = 0; dwDone < dwMs && !m_control.IsCancelled(); dwDone += STEP_MS) {
        SleepMs(std::min(STEP_MS, dwMs - dwDone));
    }
}

void UpdateRun::Run(const std::string& commandLine) {
    // Whatever is thrown (an allocation that fails included) ends the run like
    // any failure: what was staged is discarded on the way out, or finished by
    // the next start once its journal is written.
    try {
        End(RunSteps(commandLine));
    } catch (...) {
        EndOnException(std::current_exception());
    }
}

void UpdateRun::End(const RunEnding& ending) {
    RunOutcome expected = RunOutcome::RUNNING;
    m_outcome.compare_exchange_strong(expected, ending.outcome, std::memory_order_acq_rel);
    if (!ending.cause.empty()) m_pView->ExplainFailure(ending.cause);
    if (ending.nExitStatusId != 0) {
        m_screen.Status(ending.nExitStatusId);
        m_pView->OfferExitOnly();
        Pause(EXIT_BUTTON_MS);
        m_pView->Close();
        if (!ending.bEmptyLaunch) return;
        // The launch with nothing to start ends as a launch does.
        Pause(BEFORE_CLOSE_MS);
        return m_pView->Close();
    }
    if (ending.outcome == RunOutcome::LAUNCHED && ending.nCode == CODE_NO_BOX) {
        Pause(BEFORE_CLOSE_MS);
        return m_pView->Close();
    }
    if (ending.nCode != CODE_NO_BOX) {
        const std::string message =
            !ending.message.empty()
                ? ending.message
                : FormatText("%s : #%d", LoadText(IDS_ERROR_CODE).c_str(), ending.nCode);
        m_pView->ShowErrorBox(message, LoadText(IDS_ERROR_CAPTION));
    }
    m_pView->Close();
}

void UpdateRun::EndOnException(const std::exception_ptr& error) {
    const std::string cause = DescribeException(error) + " while " + m_control.Activity();
    try {
        return End(RunEnding::Failed(CODE_FAILED, cause));
    } catch (...) {
    }
    // The window itself failed: the run's ending stands, and the window is asked
    // once more to close.
    RunOutcome expected = RunOutcome::RUNNING;
    m_outcome.compare_exchange_strong(expected, RunOutcome::FAILED, std::memory_order_acq_rel);
    try {
        m_pView->Close();
    } catch (...) {
    }
}

RunEnding UpdateRun::RunSteps(const std::string& commandLine) {
    m_control.Doing("starting the run");
    m_screen.Status(IDS_CHECKING_VERSION);
    m_screen.SizeLine("");

    const std::string ownFolder =
        m_strOwnFolder ? *m_strOwnFolder : FolderOfPath(GetOwnProgramPath());
    const CommandSettings settings = ReadCommandLine(commandLine, ownFolder);
    m_nClientVersion = 0;
    m_bNoAnswer = false;
    std::string folder = settings.strInstallFolder;
    if (settings.bRepair && !settings.bCheckVersion) {
        if (!m_verifier.HasKey()) {
            return RunEnding::Failed(CODE_NOT_VERIFIED,
                                     "-REPAIR: this updater was built without the publisher's "
                                     "key, so it has no signed list to check the files against");
        }
        if (!settings.bFolderKnown || folder.empty()) {
            return RunEnding::Failed(CODE_FAILED,
                                     "-REPAIR repairs the folder the updater is in: give "
                                     "-THIS_FOLDER too");
        }
    }

    // The client's version, or the folder to install into.
    const bool bClientStarted =
        settings.bFolderKnown && LaunchProgram(folder + "CW.exe checkversion") != 0;
    if (!bClientStarted) {
        m_nClientVersion = 0;
        if (!settings.bFolderKnown && !settings.bCheckVersion) {
            Expected<std::string, RunEnding> chosen = WaitForInstallChoice();
            if (!chosen) return chosen.GetFailure();
            folder = std::move(*chosen);
        }
    }
    Clock().Pause(BEFORE_VERSION_WAIT_MS);
    if (bClientStarted) {
        if (ResultOf<RunEnding> answered = WaitForClientVersion(); !answered) {
            return answered.GetFailure();
        }
    }
    const int32_t nClientVersion = m_nClientVersion.load(std::memory_order_acquire);
    if (settings.bCheckVersion) {
        return RunEnding::Box(RunOutcome::LAUNCHED, CODE_FAILED,
                              FormatText("vc : %2.3f", 1 + nClientVersion * 0.001));
    }
    return Update(settings, folder, nClientVersion);
}

RunEnding UpdateRun::Update(const CommandSettings& settings, const std::string& folder,
                            int32_t nClientVersion) {
    // Every file operation in the folder goes through one handle of it, opened
    // here; what an interrupted run left is finished or discarded first.
    Expected<FolderHandle> root = FolderHandle::Open(folder);
    if (!root) return RunEnding::Failed(CODE_NOT_INSTALLED, root.GetFailure().Text());
    m_root = std::move(*root);
    m_control.Doing("finishing what an earlier run left in " + folder);
    for (const std::string& note : RecoverInstallFolder(m_root)) m_pView->Note(note);

    // The set: its manifest (and its index for a repair).
    if (!m_pFetcher->OpenInternet()) {
        m_screen.Status(IDS_INTERNET_FAILED);
        return RunEnding::Box(RunOutcome::FAILED, CODE_FAILED, LoadText(IDS_NO_INTERNET_MESSAGE));
    }
    m_screen.Status(IDS_SEARCHING_TARGETS);
    StepContext context{*m_pFetcher, m_verifier, m_screen, m_control, Clock(), m_root};
    const std::string baseUrl = MakeBaseUrl(GetPatchHost(), settings.bBeta);
    const Expected<FetchedSet, RunEnding> set = FetchSet(context, baseUrl, settings.bRepair);
    if (!set) return set.GetFailure();
    const ManifestSelection selection =
        ReadManifest(set->manifest, nClientVersion,
                     m_verifier.HasKey() ? MAX_SIGNED_ENTRIES : MAX_SELECTED_ENTRIES);
    const int nCount = static_cast<int>(selection.vecEntries.size());
    m_screen.StartEntries(nCount, nCount + 1);  // the update's counter ends one above its entries
    if (nCount > 0) m_screen.Bar(0);

    // The entries, in the manifest's order, then the check of every file when
    // a repair was asked for. A delta's unchanged items are checked against the
    // signed index of installed files (empty when the set has none).
    std::map<std::string, IndexedFile> index;
    if (const Expected<std::vector<IndexedFile>> files =
            ReadFileIndex(set->fileSums, set->fileEntries)) {
        for (const IndexedFile& file : *files) index.emplace(file.path, file);
    }
    // Nothing is fetched for an update the disk cannot hold; the next files are
    // fetched ahead only where it holds them too (0: the disk or the index
    // cannot tell).
    const uint64_t nFree = m_root.FreeSpace();
    const SpaceNeed need = SpaceNeeded(selection.vecEntries, index, m_root);
    if (nFree != 0 && need.nAlone > nFree) {
        return RunEnding::Failed(CODE_NOT_INSTALLED,
                                 "the update needs " + std::to_string(need.nAlone) + " bytes, " +
                                     std::to_string(nFree) + " free in " + m_root.Path());
    }
    const bool bPrefetch =
        m_verifier.HasKey() && m_fetcherSource && (nFree == 0 || need.nWithAhead <= nFree);
    // The set's own hosts: the patch server, then its mirrors.
    std::vector<std::string> bases{set->baseUrl};
    for (const std::string& mirror : ReadMirrors(set->mirrors)) {
        const std::string base = MakeBaseUrl(mirror, settings.bBeta);
        bases.push_back(set->setName.empty() ? base : SetFolderUrl(base, set->setName));
    }
    SetHosts hosts(std::move(bases));
    std::set<std::string> laterArchives;
    for (const ManifestEntry& entry : selection.vecEntries) laterArchives.insert(entry.strName);
    std::string launch = CLIENT_PROGRAM;
    std::optional<Prefetcher> prefetcher;
    if (bPrefetch) {
        prefetcher.emplace(context, hosts, PrefetchNames(selection.vecEntries, m_verifier),
                           m_fetcherSource);
    }
    for (const ManifestEntry& entry : selection.vecEntries) {
        m_screen.NextEntry();
        laterArchives.erase(entry.strName);
        // A name that could leave the installation folder is never fetched.
        if (!entry.bSafeName) {
            return RunEnding::Failed(CODE_UNSAFE_NAME,
                                     entry.strName +
                                         ": refused as unsafe (a name that leaves the "
                                         "folder or that the updater keeps)");
        }
        if (entry.bInstallPackage) launch = SETUP_COMMAND;
        if (ResultOf<RunEnding> installed = InstallEntry(
                context, hosts, entry, SignedFilesOf(index, entry.strName, laterArchives),
                prefetcher ? &*prefetcher : nullptr);
            !installed) {
            return installed.GetFailure();
        }
    }
    prefetcher.reset();
    std::size_t nRepaired = 0;
    if (settings.bRepair) {
        const Expected<std::size_t, RunEnding> repaired =
            VerifyAndRepair(context, hosts, *set, m_fetcherSource);
        if (!repaired) return repaired.GetFailure();
        nRepaired = *repaired;
    }
    if (nCount > 0 || nRepaired > 0) m_strUpdatedFolder = folder;
    m_pFetcher->CloseInternet();
    // Every entry is in: nothing fetched in part is of use any more.
    ClearDownloads(m_root);

    // The result, then the launch.
    if (nCount == 0 && nRepaired > 0) {
        m_screen.Status(IDS_PATCH_DONE);
        Clock().Pause(PATCH_DONE_MS);
    } else if (nCount == 0) {
        if (IsUnknownClient(0, nClientVersion, selection.nHighest)) {
            // Nothing is started; the launch step only closes the window again.
            RunEnding unknown = RunEnding::ExitButton(
                IDS_UNKNOWN_CLIENT, UnknownClientCause(nClientVersion, selection.nHighest));
            unknown.bEmptyLaunch = true;
            return unknown;
        }
        m_screen.Status(IDS_NOTHING_TO_PATCH);
        Clock().Pause(NOTHING_TO_PATCH_MS);
    } else {
        m_screen.Status(launch == SETUP_COMMAND ? IDS_INSTALL_DONE : IDS_PATCH_DONE);
        m_screen.AllEntriesDone();
        Clock().Pause(PATCH_DONE_MS);
    }
    return Launch(folder, launch, settings.strLoginPart);
}

Expected<std::string, RunEnding> UpdateRun::WaitForInstallChoice() {
    m_control.Doing("waiting for the installation choice");
    m_screen.Status(IDS_CHOOSE_PATH);
    m_bWaitInstallChoice.store(1, std::memory_order_release);
    m_pView->AskInstallFolder(DefaultInstallFolder());
    while (IsWaitingForInstallChoice()) Clock().Pause(CHOICE_POLL_MS);
    // The window stored the folder or the cancel before it cleared the flag.
    if (m_control.IsCancelled()) return m_control.Cancelled(CODE_NO_BOX);
    std::string folder = m_strInstallFolder;
    m_pView->EndInstallChoice();
    return folder;
}

ResultOf<RunEnding> UpdateRun::WaitForClientVersion() {
    m_control.Doing("waiting for the client's version");
    m_screen.Status(IDS_ANALYSING_CLIENT);
    const uint32_t dwStart = Clock().TickCount();
    for (;;) {
        Clock().Pause(VERSION_POLL_MS);
        if (m_nClientVersion.load(std::memory_order_acquire) != 0) return {};  // 0 is no answer
        if (Clock().TickCount() - dwStart > VERSION_WAIT_MS) {
            m_nClientVersion = VERSION_NO_ANSWER;
            m_bNoAnswer = true;
            return {};
        }
        if (m_control.IsCancelled()) return m_control.Cancelled(CODE_FAILED);
    }
}

RunEnding UpdateRun::Launch(const std::string& folder, const std::string& launch,
                            const std::string& loginPart) {
    m_control.Doing("starting " + launch);
    const LaunchSteps steps{[this](const std::string& text) { m_screen.Status(text); },
                            [this](uint32_t dwMs) { Pause(dwMs); }};
    switch (LaunchFromFolder(folder, launch, loginPart, steps)) {
        case LaunchResult::STARTED:
            break;
        case LaunchResult::CLIENT_NOT_STARTED:
            return RunEnding::Box(RunOutcome::FAILED, CODE_FAILED, LoadText(IDS_CANNOT_RUN_MAIN));
        case LaunchResult::PACKAGE_NOT_STARTED:
            return RunEnding::Box(RunOutcome::FAILED, CODE_FAILED,
                                  LoadText(IDS_INSTALL_INCOMPLETE));
    }
    return RunEnding::Launched();
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

}  // namespace corvana
