// How a run ends, as the player sees it: the steps of a run return it, and the
// run alone carries it out (see UpdateRun::End).
#pragma once

#include <string>
#include <utility>

namespace corvana {

// How a run ended.
enum class RunOutcome {
    RUNNING,
    LAUNCHED,   // the client or the setup program was started (or nothing was to be)
    FAILED,     // an error ending: a box, or a status line with the Exit button
    CANCELLED,  // Exit during the installation choice, or a cancel during the run
};

// The codes of the box "에러코드 : #code".
inline constexpr int CODE_NO_BOX = 0;          // no box: Exit at the choice, a launch
inline constexpr int CODE_FAILED = -1;         // a failure of the run's own (and the version's box)
inline constexpr int CODE_CANCELLED = -3;      // Exit during a transfer
inline constexpr int CODE_UNSAFE_NAME = -4;    // a name that leaves the folder or is the updater's
inline constexpr int CODE_NOT_INSTALLED = -5;  // a file that could not be installed
inline constexpr int CODE_NOT_VERIFIED = -6;   // a file the publisher did not sign

struct RunEnding {
    RunOutcome outcome = RunOutcome::FAILED;
    int nCode = CODE_NO_BOX;  // a box with "에러코드 : #code" unless CODE_NO_BOX
    std::string message;      // the box's text in place of the code's
    int nExitStatusId = 0;    // instead of a box: this status with the Exit button, for 10 s
    std::string cause;        // why, in one English line for the log and the error stream
    // After the Exit button: the launch step with nothing to start (500 ms, the close).
    bool bEmptyLaunch = false;

    // A box (none for CODE_NO_BOX), then the window's close (after 500 ms for a launch).
    static RunEnding Box(RunOutcome outcome, int nCode, std::string message = {},
                         std::string cause = {}) {
        return {outcome, nCode, std::move(message), 0, std::move(cause)};
    }
    static RunEnding Failed(int nCode, std::string cause) {
        return Box(RunOutcome::FAILED, nCode, {}, std::move(cause));
    }
    static RunEnding Launched() { return Box(RunOutcome::LAUNCHED, CODE_NO_BOX); }
    // The status line with the Exit button for 10 s, then the window's close.
    static RunEnding ExitButton(int nStatusId, std::string cause = {}) {
        return {RunOutcome::FAILED, CODE_NO_BOX, {}, nStatusId, std::move(cause)};
    }
};

}  // namespace corvana
