// corvana-updater: the Linux program, with the terminal front end.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "app/dialog_logic.h"
#include "app/startup.h"
#include "app/terminal/terminal_window.h"
#include "launch/launch.h"
#include "net/http_downloader.h"
#include "platform/text_table.h"
#include "platform/window_endpoint_posix.h"
#include "run/command_line.h"
#include "run/text.h"
#include "run/update_run.h"

namespace {

using namespace corvana;

constinit HttpDownloader g_downloader;
UpdateRun g_run;
std::atomic<bool> g_bInterrupted{false};

enum ExitStatus { EXIT_STARTED = 0, EXIT_FAILED = 1, EXIT_CANCELLED = 2 };

void OnInterrupt(int) { g_bInterrupted = true; }

// A line from standard input; false at its end or when Ctrl-C interrupted it.
bool ReadLine(std::string& line) {
    line.clear();
    for (;;) {
        char c;
        const ssize_t nRead = read(STDIN_FILENO, &c, 1);
        if (nRead < 0 && errno == EINTR && !g_bInterrupted) continue;
        if (nRead <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

class TerminalApp {
public:
    explicit TerminalApp(std::string arguments)
        : m_arguments(std::move(arguments)),
          m_window(m_logic, stdout, isatty(STDOUT_FILENO) != 0, isatty(STDIN_FILENO) != 0) {}

    int Run() {
        const std::string title = LoadText(IDS_WINDOW_TITLE);
        m_endpoint.Open(
            title.c_str(), [this](int32_t nVersion) { m_logic.OnClientVersion(nVersion); }, [] {});
        g_run.SetWindow(&m_window);
        g_run.SetDownloader(&g_downloader);
        std::packaged_task<void()> task([this] { g_run.Run(m_arguments); });
        std::future<void> finished = task.get_future();
        std::thread worker(std::move(task));

        const bool bUserExit = Loop();
        // The window ends: the run is told to cancel and its calls do nothing now.
        m_window.End();
        const RunOutcome outcome = g_run.GetOutcome();
        g_run.m_bCancel = 1;
        m_endpoint.Close();
        // A window that ended while the run still worked cut the run short.
        const int nStatus =
            bUserExit || outcome == RunOutcome::RUNNING ? EXIT_CANCELLED : StatusOf(outcome);
        if (finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready) {
            worker.join();
            return nStatus;
        }
        // Still inside a network or file call: end without waiting for it, and
        // without releasing the objects it uses.
        worker.detach();
        std::fflush(stdout);
        std::_Exit(nStatus);
    }

private:
    static int StatusOf(RunOutcome outcome) {
        switch (outcome) {
            case RunOutcome::LAUNCHED:
                return EXIT_STARTED;
            case RunOutcome::CANCELLED:
                return EXIT_CANCELLED;
            default:
                return EXIT_FAILED;
        }
    }

    // The Exit button's question; without a terminal to ask on, the answer is yes.
    bool Confirm() {
        if (!isatty(STDIN_FILENO)) return true;
        m_window.Say(LoadText(IDS_ABORT_CAPTION) + " " + LoadText(IDS_CONFIRM_EXIT) + " [y/N] ");
        std::string answer;
        g_bInterrupted = false;
        return ReadLine(answer) && (answer == "y" || answer == "Y");
    }

    // Runs the window until it ends; true when the user ended it with Exit.
    bool Loop() {
        for (;;) {
            if (g_bInterrupted.exchange(false) && m_logic.OnExit([this] { return Confirm(); })) {
                return true;
            }
            switch (m_window.WaitForEvent(std::chrono::milliseconds(100))) {
                case TerminalWindow::Event::CLOSE:
                    return false;
                case TerminalWindow::Event::CHOICE:
                    if (AskForFolder()) return true;
                    break;
                case TerminalWindow::Event::NONE:
                    break;
            }
        }
    }

    // The installation choice; true when it ended with Exit.
    bool AskForFolder() {
        const std::string defaultFolder = DialogLogic::DefaultFolder();
        for (;;) {
            m_window.Say(
                FormatText("Install into %s\n"
                           "  Enter: install there; a folder: install into its %s "
                           "sub-folder; q: exit\n> ",
                           defaultFolder.c_str(), PRODUCT_FOLDER));
            std::string line;
            const bool bLine = ReadLine(line);
            g_bInterrupted = false;
            if (bLine && line.empty()) {
                m_logic.OnInstallNow(defaultFolder);
                return false;
            }
            if (bLine && line != "q") {
                m_logic.OnInstallNow(DialogLogic::BrowseResult(line));
                return false;
            }
            if (!bLine && isatty(STDIN_FILENO) == 0) {
                m_logic.OnExit([] { return true; });  // end of input
                return true;
            }
            if (m_logic.OnExit([this] { return Confirm(); })) return true;
        }
    }

    std::string m_arguments;
    DialogLogic m_logic{g_run};
    TerminalWindow m_window;
    WindowEndpoint m_endpoint;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string arguments = JoinArguments(argc, argv);
    SetUpdaterArguments(arguments);

    struct sigaction action {};
    action.sa_handler = OnInterrupt;  // no SA_RESTART: a waiting read returns
    sigaction(SIGINT, &action, nullptr);

    SystemClock clock;
    if (!WaitForClientToEnd(clock)) {
        std::printf("%s: %s\n", LoadText(IDS_WARNING_CAPTION).c_str(),
                    LoadText(IDS_CLIENT_RUNNING).c_str());
        return EXIT_FAILED;
    }
    MutexHandle hInstance = TakeSingleInstance();
    if (hInstance == nullptr) return EXIT_STARTED;  // the other updater was raised

    const int nStatus = TerminalApp(arguments).Run();
    CloseMutex(hInstance);
    return nStatus;
}
