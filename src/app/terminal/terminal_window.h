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
#include "app/updater_window.h"

namespace corvana {

class TerminalWindow : public UpdaterWindow {
public:
    TerminalWindow(DialogLogic& logic, std::FILE* pOut, bool bTerminal, bool bInteractive);

    void SetItemText(int nId, const std::string& text) override;
    void ShowItem(int nId, bool bShow) override;
    void SetProgressRange(int nMin, int nMax) override;
    void SetProgressPos(int nPos) override;
    void ClearConfirmExit() override;
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void PostClose() override;

    // What the window's own thread waits for.
    enum class Event { NONE, CHOICE, CLOSE };
    Event WaitForEvent(std::chrono::milliseconds timeout);
    // The window has ended: every later call does nothing.
    void End();
    bool HasEnded();
    // Prints a line of the window's own (prompts, notices) between the run's.
    void Say(const std::string& text);

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
    std::string m_strStatus;
    std::string m_strSize;
    int m_nRangeMax = 0;
    int m_nPos = 0;
    std::chrono::steady_clock::time_point m_transferStart{};
    uint64_t m_nFirstBytes = 0;
};

}  // namespace corvana
