// The terminal front end as a whole: the terminal window, its questions on
// standard input, Ctrl-C as the Exit button, and the installation choice answered
// on the command line.
#pragma once

#include <atomic>
#include <string>

#include "app/dialog_logic.h"
#include "app/front_end.h"
#include "app/linux/command_options.h"
#include "app/linux/run_log.h"
#include "app/terminal/terminal_window.h"

namespace corvana {

// The flags the program's signal handlers set.
struct TerminalSignals {
    std::atomic<bool>& bInterrupted;  // Ctrl-C, and SIGTERM
    std::atomic<bool>& bTerminated;   // SIGTERM: Exit without the question
    std::atomic<bool>& bResized;      // the terminal's width changed
};

class TerminalApp : public FrontEnd {
public:
    TerminalApp(UpdateRun& run, const TerminalSignals& signals, TerminalSettings settings,
                RunLog& log);

    RunView& View() override { return m_window; }
    DialogLogic& Logic() override { return m_logic; }
    void RunUntilClosed(const std::function<void()>& onShown) override;
    void End() override { m_window.End(); }
    void Raise() override {}  // a terminal has no window to bring forward

private:
    bool ReadLine(std::string& line);
    bool Confirm();
    void Loop();
    void InstallInto(const std::string& folder);
    bool AskForFolder();

    TerminalSignals m_signals;
    TerminalSettings m_settings;
    RunLog& m_log;
    DialogLogic m_logic;
    TerminalWindow m_window;
};

}  // namespace corvana
