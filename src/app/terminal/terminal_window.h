// The terminal front end: the window's texts as lines, a progress line, message
// boxes as "caption: text", and the installation choice as a prompt. Calls from
// the run are serialised with a mutex; after the window has ended they do nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/dialog_logic.h"
#include "app/terminal/progress_line.h"
#include "run/run_view.h"

namespace corvana {

// How the progress line is shown.
enum class ProgressStyle {
    NONE,   // not at all
    LIVE,   // a terminal: one line, redrawn in place and cleared with escape sequences
    DUMB,   // a terminal without escape sequences: redrawn with carriage returns
    PLAIN,  // not a terminal: a line of its own at each tenth of the run, or every 5 s
};

class TerminalWindow : public RunView {
public:
    TerminalWindow(DialogLogic& logic, std::FILE* pOut, ProgressStyle style, bool bInteractive);

    void ShowStatus(const std::string& text) override;
    void SetProgressRange(int nUnits) override;
    void ShowProgress(const RunProgress& progress) override;
    void ShowSizeLine(const std::string& text) override;
    void AskInstallFolder(const std::string& defaultFolder) override;
    void EndInstallChoice() override;
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void ExplainFailure(const std::string& cause) override;
    void Note(const std::string& note) override { ExplainFailure(note); }
    void OfferExitOnly() override;
    void Close() override;

    // What the window's own thread waits for.
    enum class Event { NONE, CHOICE, CLOSE };
    Event WaitForEvent(std::chrono::milliseconds timeout);
    // The window has ended: every later call does nothing.
    void End();
    // Prints a notice of the window's own between the run's lines.
    void Say(const std::string& text);
    // Prints a question; until it is answered the progress line stays away and
    // the run's lines wait, so that nothing is drawn over the answer being typed.
    void Ask(const std::string& question);
    void Answered();
    // The terminal's width changed.
    void SetColumns(int nColumns);
    // The folder the installation choice offers first.
    std::string ChoiceDefault();
    // The command line answers the installation choice: its question is not shown.
    void SetChoiceAnswered() { m_bChoiceAnswered = true; }

private:
    void PrintLineLocked(const std::string& text);
    void DrawProgressLocked(bool bForce);
    void ClearProgressLocked();

    DialogLogic& m_logic;
    std::FILE* m_pOut;
    const ProgressStyle m_style;
    const bool m_bInteractive;  // standard input is a terminal: boxes wait for Enter
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bEnded = false;
    bool m_bCloseRequested = false;
    bool m_bChoiceShown = false;
    bool m_bChoiceReported = false;
    bool m_bQuestionOpen = false;
    bool m_bChoiceAnswered = false;        // set before the run starts
    std::vector<std::string> m_heldLines;  // the run's lines while a question is open
    std::size_t m_nDrawnLength = 0;        // of the progress line on the screen; 0: none
    std::chrono::steady_clock::time_point m_lastDrawn{};
    int m_nLastTenth = -1;  // PLAIN: the tenth of the run last printed
    int m_nColumns = 80;
    std::string m_strDefaultFolder;
    std::string m_strStatus;
    int m_nRangeMax = 0;
    RunProgress m_progress;
    TransferMeter m_meter;
};

}  // namespace corvana
