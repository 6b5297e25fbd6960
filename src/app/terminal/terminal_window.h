// The terminal front end: the window's texts as lines, a live progress line on a
// terminal, message boxes as "caption: text", and the installation choice as a
// prompt. Calls from the run are serialised with a mutex; after the window has
// ended they do nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "app/dialog_logic.h"
#include "run/run_view.h"

namespace corvana {

class TerminalWindow : public RunView {
public:
    TerminalWindow(DialogLogic& logic, std::FILE* pOut, bool bTerminal, bool bInteractive);

    void ShowStatus(const std::string& text) override;
    void SetProgressRange(int nUnits) override;
    void ShowProgress(const RunProgress& progress) override;
    void ShowSizeLine(const std::string& text) override;
    void AskInstallFolder(const std::string& defaultFolder) override;
    void EndInstallChoice() override;
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void ExplainFailure(const std::string& cause) override;
    void OfferExitOnly() override;
    void Close() override;

    // What the window's own thread waits for.
    enum class Event { NONE, CHOICE, CLOSE };
    Event WaitForEvent(std::chrono::milliseconds timeout);
    // The window has ended: every later call does nothing.
    void End();
    bool HasEnded();
    // Prints a line of the window's own (prompts, notices) between the run's.
    void Say(const std::string& text);
    // The folder the installation choice offers first.
    std::string ChoiceDefault();

private:
    void DrawProgressLocked();
    void ClearProgressLocked();

    DialogLogic& m_logic;
    std::FILE* m_pOut;
    const bool m_bTerminal;     // standard output is a terminal: live progress line
    const bool m_bInteractive;  // standard input is a terminal: boxes wait for Enter
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bEnded = false;
    bool m_bCloseRequested = false;
    bool m_bChoiceShown = false;
    bool m_bChoiceReported = false;
    bool m_bProgressDrawn = false;
    std::string m_strDefaultFolder;
    std::string m_strStatus;
    std::string m_strSize;
    int m_nRangeMax = 0;
    RunProgress m_progress;
    std::chrono::steady_clock::time_point m_transferStart{};
    uint32_t m_dwFirstBytes = 0;  // bytes of the file already in when its transfer was first seen
};

}  // namespace corvana
