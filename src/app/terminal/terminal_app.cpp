#include "app/terminal/terminal_app.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/linux/folder_choice.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "run/command_line.h"

namespace corvana {

namespace {

// How the progress line suits standard output.
ProgressStyle ChooseProgressStyle(bool bQuiet) {
    if (bQuiet) return ProgressStyle::NONE;
    if (isatty(STDOUT_FILENO) == 0) return ProgressStyle::PLAIN;
    const char* pszTerm = std::getenv("TERM");
    const bool bDumb =
        pszTerm == nullptr || *pszTerm == '\0' || std::string_view(pszTerm) == "dumb";
    return bDumb ? ProgressStyle::DUMB : ProgressStyle::LIVE;
}

// The terminal's width in columns; 80 when it cannot be told.
int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

TerminalApp::TerminalApp(UpdateRun& run, const TerminalSignals& signals, TerminalSettings settings,
                         RunLog& log)
    : m_signals(signals),
      m_settings(std::move(settings)),
      m_log(log),
      m_logic(run),
      m_window(m_logic, stdout, ChooseProgressStyle(m_settings.bQuiet), isatty(STDIN_FILENO) != 0) {
    m_window.SetColumns(TerminalColumns());
    if (m_settings.bYes || !m_settings.folder.empty()) m_window.SetChoiceAnswered();
}

void TerminalApp::RunUntilClosed(const std::function<void()>& onShown) {
    onShown();
    Loop();
}

// A line from standard input; false at its end or when Ctrl-C interrupted it.
bool TerminalApp::ReadLine(std::string& line) {
    line.clear();
    for (;;) {
        char c;
        const ssize_t nRead = read(STDIN_FILENO, &c, 1);
        if (nRead < 0 && errno == EINTR && !m_signals.bInterrupted) continue;
        if (nRead <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

// The Exit button's question; without a terminal to ask on, the answer is yes,
// and so is a second Ctrl-C.
bool TerminalApp::Confirm() {
    if (m_signals.bTerminated || !isatty(STDIN_FILENO)) return true;
    m_window.Ask(LoadText(IDS_CONFIRM_TITLE) + " " + LoadText(IDS_CONFIRM_EXIT) + " [y/N] ");
    std::string answer;
    m_signals.bInterrupted = false;
    const bool bLine = ReadLine(answer);
    const bool bInterrupted = m_signals.bInterrupted.exchange(false);
    if (bInterrupted) m_window.Say("\n");
    m_window.Answered();
    return bInterrupted || (bLine && (answer == "y" || answer == "Y"));
}

// Runs the window until it ends: closed by the run, or by Exit.
void TerminalApp::Loop() {
    for (;;) {
        if (m_signals.bInterrupted.exchange(false) &&
            m_logic.OnExit([this] { return Confirm(); })) {
            return;
        }
        if (m_signals.bResized.exchange(false)) m_window.SetColumns(TerminalColumns());
        switch (m_window.WaitForEvent(std::chrono::milliseconds(100))) {
            case TerminalWindow::Event::CLOSE:
                return;
            case TerminalWindow::Event::CHOICE:
                if (AskForFolder()) return;
                break;
            case TerminalWindow::Event::NONE:
                break;
        }
    }
}

void TerminalApp::InstallInto(const std::string& folder) {
    m_log.Write("folder", folder);
    m_window.Say(FormatText(LoadText(IDS_INSTALLING_INTO).c_str(), folder.c_str()) + "\n");
    m_logic.OnInstallNow(folder);
}

// The installation choice; true when it ended with Exit.
bool TerminalApp::AskForFolder() {
    const std::string defaultFolder = m_window.ChoiceDefault();
    // Answered by the command line: no question.
    if (m_settings.bYes || !m_settings.folder.empty()) {
        const std::string folder =
            m_settings.folder.empty()
                ? defaultFolder
                : DialogLogic::BrowseResult(ExpandTypedFolder(m_settings.folder));
        if (Result prepared = PrepareInstallFolder(folder); !prepared) {
            std::fprintf(stderr, "corvana-updater: cannot install there: %s\n",
                         prepared.GetFailure().Text().c_str());
            m_logic.OnExit([] { return true; });
            return true;
        }
        InstallInto(folder);
        return false;
    }
    for (;;) {
        m_window.Ask(FormatText(LoadText(IDS_INSTALL_PROMPT).c_str(), defaultFolder.c_str(),
                                PRODUCT_FOLDER));
        std::string line;
        const bool bLine = ReadLine(line);
        m_window.Answered();
        m_signals.bInterrupted = false;
        if (bLine && line != "q") {
            const std::string folder =
                line.empty() ? defaultFolder : DialogLogic::BrowseResult(ExpandTypedFolder(line));
            // A folder that cannot be installed into is refused here, before
            // anything is fetched; the question is asked again.
            if (Result prepared = PrepareInstallFolder(folder); !prepared) {
                m_window.Say(FormatText(LoadText(IDS_CANNOT_INSTALL_THERE).c_str(),
                                        prepared.GetFailure().Text().c_str()) +
                             "\n");
                continue;
            }
            InstallInto(folder);
            return false;
        }
        if (!bLine && isatty(STDIN_FILENO) == 0) {
            m_logic.OnExit([] { return true; });  // end of input
            return true;
        }
        if (m_logic.OnExit([this] { return Confirm(); })) return true;
    }
}

}  // namespace corvana
