// The update run: the one object that carries a run from the command line to
// the launch of the client. It speaks to its front end through a RunView; the
// window's requests reach it through its control methods, which the run polls.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/failure.h"
#include "platform/registry.h"
#include "run/manifest.h"
#include "run/run_clock.h"
#include "run/run_view.h"
#include "verify/patch_set.h"

namespace corvana {

class Fetcher;

// How a run ended.
enum class RunOutcome {
    RUNNING,
    LAUNCHED,   // the client or the setup program was started (or nothing was to be)
    FAILED,     // an error ending: a box, or a status line with the Exit button
    CANCELLED,  // Exit during the installation choice, or a cancel during the run
};

class UpdateRun {
public:
    UpdateRun() { m_verifier.SetPublicKey(BuiltInPublicKey()); }
    virtual ~UpdateRun() = default;
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Carries one run from the command line (the text after the program name)
    // to the launch of the client; how it ended is GetOutcome().
    void Run(const std::string& commandLine);

    void SetView(RunView* pView) { m_pView = pView; }
    void SetFetcher(Fetcher* pFetcher) { m_pFetcher = pFetcher; }
    void SetClock(RunClock* pClock) { m_pClock = pClock; }
    // The publisher's public key (the one built into the program unless set):
    // with a key, only a patch set that it signed is installed.
    void SetPublicKey(std::string keyText) { m_verifier.SetPublicKey(std::move(keyText)); }
    // The program's own folder (with its separator); read from the system when not set.
    void SetOwnFolder(std::string folder) { m_strOwnFolder = std::move(folder); }
    RunOutcome GetOutcome() const { return m_outcome.load(std::memory_order_acquire); }
    // The installation folder (with its separator) when the run installed at
    // least one entry into it; empty otherwise. Read it after the run has returned.
    const std::string& UpdatedFolder() const { return m_strUpdatedFolder; }

    // What the window tells the run, from the window's thread.
    // Exit, or the window's end: the run stops at its next cancellation point.
    // During the installation choice the folder is dropped and the wait ends.
    void Cancel();
    // Install: the chosen folder (with its trailing separator) ends the wait
    // for the installation choice; nothing while the run does not wait for one.
    void ChooseFolder(std::string folder);
    // The client's answer to the version query (0 is no answer).
    void DeliverClientVersion(int32_t nVersion);
    bool IsWaitingForInstallChoice() const;

private:
    static constexpr int UNITS_PER_ENTRY = 512;
    // Codes of the endings added to the run's own (0, -1, -3).
    static constexpr int CODE_UNSAFE_NAME = -4;
    static constexpr int CODE_NOT_INSTALLED = -5;
    static constexpr int CODE_NOT_VERIFIED = -6;

    // How a run ends, as the player sees it.
    struct Ending {
        RunOutcome outcome;
        int nCode;            // a box with "에러코드 : #code" unless 0
        std::string message;  // the box's text in place of the code's
        int nExitStatusId;    // instead of a box: this status with the Exit button, for 10 s
        std::string cause;    // why, in one English line for the log and the error stream
    };
    // A box (none for code 0), then the window's close (after 500 ms for a launch).
    static Ending Box(RunOutcome outcome, int nCode, std::string message = {},
                      std::string cause = {}) {
        return {outcome, nCode, std::move(message), 0, std::move(cause)};
    }
    static Ending Failed(int nCode, std::string cause) {
        return Box(RunOutcome::FAILED, nCode, {}, std::move(cause));
    }
    // The status line with the Exit button for 10 s, then the window's close.
    static Ending ExitButton(int nStatusId, std::string cause = {}) {
        return {RunOutcome::FAILED, 0, {}, nStatusId, std::move(cause)};
    }
    // Every ending goes through here: the cause, the box or the Exit button, the
    // window's close. The first ending's outcome stays.
    void End(const Ending& ending);
    // Shows the message in a box when the code is not 0, then asks the window to close.
    void ReportError(int nCode, const std::string& message);
    void ReportErrorCode(int nCode);

    // The steps of a run; each returns false when the run has ended.
    bool WaitForInstallChoice(std::string& folder);
    bool WaitForClientVersion();
    // The signed list and its signature, accepted; else how the run ends.
    std::optional<Ending> AcceptSignedList(const std::string& baseUrl);
    // Puts the accepted set's time on record when it is newer than the folder's.
    Result RecordAcceptedSet(const std::string& folder);
    // The manifest's text, its signature checked; nothing when the run has ended.
    std::optional<std::string> FetchManifest(const std::string& baseUrl, const std::string& folder);
    bool RunPipeline(const std::string& baseUrl, const std::string& folder,
                     const ManifestSelection& selection, std::string& launch);
    bool FetchEntry(const std::string& url, int nBase);
    // Fetches and installs one entry, from its delta when there is one that fits.
    bool InstallEntry(const std::string& baseUrl, const std::string& folder,
                      const ManifestEntry& entry);
    // A file of the patch set that the signed list names, fetched whole and
    // checked; nothing when the run has ended.
    std::optional<std::string> FetchSigned(const std::string& baseUrl, const std::string& name);
    // Checks every file of the set's signed index in folder and fetches back what
    // is missing or damaged (see run/repair.cpp). False when the run has ended.
    bool Repair(const std::string& baseUrl, const std::string& folder, const std::string& manifest);
    // Starts launch in folder; the client gets loginPart (see LoginPart).
    void Launch(const std::string& folder, const std::string& launch, const std::string& loginPart);
    Ending Unreachable(const std::string& url) const;
    // Why a client is unknown: its version (or that it gave none) against the manifest's highest.
    std::string UnknownClientCause(int32_t nVersion, int32_t nHighest) const;

    void Status(const std::string& text);
    void Status(int nStringId);
    // The entry's status "[label] step (number/selected + 1)", then the bar's position.
    void EntryStatus(const ManifestEntry& entry, int nStringId);
    void EntryStep(const ManifestEntry& entry, int nStringId, int nUnits);
    void Progress(int nUnits, uint32_t dwReceived = 0, uint32_t dwLength = 0);
    RunClock& Clock();
    void Pause(uint32_t dwMs);

    // Written by the window (release), read by the run (acquire): the folder or
    // the cancel is stored before the wait flag is cleared.
    std::atomic<int32_t> m_nClientVersion{0};
    std::atomic<int32_t> m_bCancel{0};
    std::atomic<int32_t> m_bWaitInstallChoice{0};
    bool m_bNoAnswer = false;     // the client did not answer within the wait: taken as 170
    std::size_t m_nRepaired = 0;  // files a repair put back
    std::string m_strInstallFolder;

    RunView* m_pView = nullptr;
    Fetcher* m_pFetcher = nullptr;
    RunClock* m_pClock = nullptr;
    SystemClock m_systemClock;
    std::optional<std::string> m_strOwnFolder;
    std::string m_strUpdatedFolder;
    RunProgress m_progress;
    PatchSetVerifier m_verifier;
    uint64_t m_nAcceptedTimestamp = 0;  // the folder's record, read when the list is checked
    std::atomic<RunOutcome> m_outcome{RunOutcome::RUNNING};
};

}  // namespace corvana
