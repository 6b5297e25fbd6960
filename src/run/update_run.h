// The update run: the one object that carries a run from the command line to
// the launch of the client. It speaks to its front end through a RunView; the
// window's requests reach it through its control methods, which the run polls.
// Its steps return how the run is to end when it cannot go on (see ending.h);
// the run carries out the one ending.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "platform/failure.h"
#include "platform/folder.h"
#include "run/command_line.h"
#include "run/ending.h"
#include "run/prefetch.h"
#include "run/run_clock.h"
#include "run/run_control.h"
#include "run/run_screen.h"
#include "run/run_view.h"
#include "verify/patch_set.h"

namespace corvana {

class Fetcher;
struct StepContext;

class UpdateRun {
public:
    UpdateRun() { m_verifier.SetPublicKey(BuiltInPublicKey()); }
    virtual ~UpdateRun() = default;
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Carries one run from the command line (the text after the program name)
    // to the launch of the client; how it ended is GetOutcome().
    void Run(const std::string& commandLine);

    void SetView(RunView* pView) {
        m_pView = pView;
        m_screen.SetView(pView);
    }
    void SetFetcher(Fetcher* pFetcher) { m_pFetcher = pFetcher; }
    // Where the connections come from that fetch a signed set's next files
    // while the run installs the one before; without it each file is fetched
    // in its turn.
    void SetFetcherSource(FetcherSource source) { m_fetcherSource = std::move(source); }
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
    // A failure outside the run (the window's or the endpoint's thread): the run
    // ends with cause, as an error, at its next cancellation point. From any thread.
    void Abort(std::string cause);

private:
    // The run's steps, from the command line to the launch: how the run ends.
    RunEnding RunSteps(const std::string& commandLine);
    // The steps once the folder is known: the set, its entries, a repair, the result.
    RunEnding Update(const CommandSettings& settings, const std::string& folder,
                     int32_t nClientVersion);
    // Carries out the ending: the cause, the box or the Exit button, the window's
    // close. The first ending's outcome stays.
    void End(const RunEnding& ending);
    // The ending of a run that something threw out of: its cause says what the
    // run was doing.
    void EndOnException(const std::exception_ptr& error);

    // The folder the user chose; else how the run ends.
    Expected<std::string, RunEnding> WaitForInstallChoice();
    // The client's answer, or 170 after the wait; else how the run ends.
    ResultOf<RunEnding> WaitForClientVersion();
    // Starts launch in folder; the client gets loginPart (see LoginPart).
    RunEnding Launch(const std::string& folder, const std::string& launch,
                     const std::string& loginPart);
    // Why a client is unknown: its version (or that it gave none) against the manifest's highest.
    std::string UnknownClientCause(int32_t nVersion, int32_t nHighest) const;

    RunClock& Clock();
    // A pause that ends early once the window has gone.
    void Pause(uint32_t dwMs);

    // Written by the window (release), read by the run (acquire): the folder or
    // the cancel is stored before the wait flag is cleared.
    std::atomic<int32_t> m_nClientVersion{0};
    std::atomic<int32_t> m_bWaitInstallChoice{0};
    bool m_bNoAnswer = false;  // the client did not answer within the wait: taken as 170
    std::string m_strInstallFolder;
    RunControl m_control;  // the cancel (the window's m_bCancel), what the run is doing

    RunView* m_pView = nullptr;
    Fetcher* m_pFetcher = nullptr;
    FetcherSource m_fetcherSource;
    RunClock* m_pClock = nullptr;
    SystemClock m_systemClock;
    std::optional<std::string> m_strOwnFolder;
    std::string m_strUpdatedFolder;
    FolderHandle m_root;  // the installation folder, once it is known
    RunScreen m_screen;
    PatchSetVerifier m_verifier;
    std::atomic<RunOutcome> m_outcome{RunOutcome::RUNNING};
};

}  // namespace corvana
