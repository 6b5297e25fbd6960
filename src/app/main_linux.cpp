// corvana-updater: the Linux program, with the desktop window when a display can
// be opened, else the terminal front end.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string_view>
#include <thread>
#include <vector>

#include "app/dialog_logic.h"
#include "app/gtk/gtk_window.h"
#include "app/linux/desktop_launcher.h"
#include "app/linux/folder_choice.h"
#include "app/linux/run_log.h"
#include "app/program_shell.h"
#include "app/terminal/terminal_window.h"
#include "launch/launch.h"
#include "net/http_downloader.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "platform/window_endpoint_posix.h"
#include "run/command_line.h"
#include "run/update_run.h"

namespace {

using namespace corvana;

UpdateRun g_run;
HttpDownloader g_downloader;
RunLog g_runLog;
std::atomic<bool> g_bInterrupted{false};
std::atomic<bool> g_bTerminated{false};  // SIGTERM: Exit, without asking
std::atomic<bool> g_bResized{false};

void OnInterrupt(int) { g_bInterrupted = true; }
void OnResize(int) { g_bResized = true; }
void OnTerminate(int) {
    g_bTerminated = true;
    g_bInterrupted = true;
}

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

constexpr const char* USAGE =
    "usage: corvana-updater [--terminal] [--yes] [--folder DIR] [--quiet] [--log FILE]\n"
    "                       [-THIS_FOLDER | -CHECK_VERSION | -UPDATE CALLER VERSION -U_BETA]\n"
    "                       [/AutoLoginRID:ID ...]\n"
    "  (no switch)           install the client into a folder you choose\n"
    "  -THIS_FOLDER          update the client in this program's folder\n"
    "  -CHECK_VERSION        show the installed client's version\n"
    "  -UPDATE C V -U_BETA   install from the beta patch path\n"
    "  /AutoLoginRID:ID ...  passed on to the client when it starts\n"
    "  --terminal            no desktop window, even where a display can be opened\n"
    "  --yes                 answer the installation choice with the default folder\n"
    "  --folder DIR          answer it with DIR (the client goes into DIR/Corvana)\n"
    "  --quiet               no progress line\n"
    "  --log FILE            add a log of the run to FILE (texts, URLs, failures, times)\n"
    "  -h, --help            show this text;  --version  show the program's version\n"
    "Environment: CORVANA_PATCH_HOST ([https://]host[:port]), CORVANA_CA_FILE (a PEM file).\n"
    "Exit status: 0 the client or setup was started, 1 an error, 2 Exit or a cancel,\n"
    "64 a wrong command line.\n";
constexpr int EXIT_USAGE = 64;

// The terminal program's own options (the updater's switches are the rest).
struct TerminalOptions {
    bool bYes = false;
    std::string folder;  // typed as at the prompt
    bool bQuiet = false;
    std::string log;                // --log FILE
    bool bTerminal = false;         // --terminal: no desktop window
    std::vector<std::string> rest;  // the updater's own arguments, in order
};

// Reads the program's own options: an exit status when one of them ends the
// program, else -1. Everything from LOGIN_SWITCH on is the client's.
int ReadOptions(int argc, char** argv, TerminalOptions& options) {
    bool bClients = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bClients = bClients || argument.starts_with(LOGIN_SWITCH);
        if (bClients || (!argument.starts_with("--") && argument != "-h")) {
            options.rest.emplace_back(argument);  // the updater's switch, or the client's
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            std::fputs(USAGE, stdout);
            return EXIT_STARTED;
        }
        if (argument == "--version") {
            std::printf("corvana-updater %s\n", CORVANA_VERSION);
            return EXIT_STARTED;
        }
        if (argument == "--yes") {
            options.bYes = true;
        } else if (argument == "--quiet") {
            options.bQuiet = true;
        } else if (argument == "--terminal") {
            options.bTerminal = true;
        } else if (argument == "--folder" && i + 1 < argc) {
            options.folder = argv[++i];
        } else if (argument == "--log" && i + 1 < argc) {
            options.log = argv[++i];
        } else {
            std::fprintf(stderr, "corvana-updater: unknown option %s\n%s", argv[i], USAGE);
            return EXIT_USAGE;
        }
    }
    return -1;
}

// How the progress line suits standard output.
ProgressStyle ChooseProgressStyle(const TerminalOptions& options) {
    if (options.bQuiet) return ProgressStyle::NONE;
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

// Runs the update with a window: the run works on its own thread while
// runWindow() runs the window until it ends; the client's version answers reach
// the window through its endpoint. Returns the exit status.
int RunWithWindow(ProgramShell& shell, DialogLogic& logic, RunView& window,
                  const std::function<void()>& raise, const std::function<void()>& runWindow,
                  const std::function<void()>& endWindow) {
    LoggedView loggedView(window, g_runLog);
    WindowEndpoint endpoint;
    const std::string title = LoadText(IDS_WINDOW_TITLE);
    if (!endpoint.Open(
            title.c_str(), [&logic](int32_t nVersion) { logic.OnClientVersion(nVersion); },
            raise)) {
        std::fprintf(stderr, "corvana-updater: the client's version cannot be received (%s)\n",
                     endpoint.Error().c_str());
    }
    g_run.SetView(g_runLog.IsOpen() ? static_cast<RunView*>(&loggedView) : &window);
    g_run.SetDownloader(&g_downloader);
    std::packaged_task<void()> task([&shell] { g_run.Run(shell.Arguments()); });
    std::future<void> finished = task.get_future();
    std::thread worker(std::move(task));

    runWindow();
    // The window ends: from now on the run's calls do nothing.
    endWindow();
    endpoint.Close();
    const int nStatus = shell.Finish(g_run, [&](uint32_t dwMs) {
        return finished.wait_for(std::chrono::milliseconds(dwMs)) == std::future_status::ready;
    });
    worker.join();
    if (g_run.GetOutcome() == RunOutcome::LAUNCHED) {
        if (const std::string problem = RegisterLauncher(g_run.LaunchFolder()); !problem.empty()) {
            g_runLog.Write("failure", "the desktop launcher was not registered: " + problem);
            std::fprintf(stderr, "corvana-updater: the desktop launcher was not registered: %s\n",
                         problem.c_str());
        }
    }
    g_runLog.Write("end", "exit status " + std::to_string(nStatus));
    return nStatus;
}

// The desktop window. Ctrl-C in the terminal that started it and SIGTERM are
// Exit without the question.
int RunDesktopWindow(ProgramShell& shell) {
    GtkPanel panel(g_run);
    const guint nWatch = g_timeout_add(
        100,
        +[](gpointer pData) -> gboolean {
            auto* pPanel = static_cast<GtkPanel*>(pData);
            if (g_bInterrupted.exchange(false) && pPanel->Logic().OnExit([] { return true; })) {
                pPanel->PostClose();
            }
            return G_SOURCE_CONTINUE;
        },
        &panel);
    const int nStatus = RunWithWindow(
        shell, panel.Logic(), panel.View(), [&panel] { panel.Raise(); }, [&panel] { panel.Run(); },
        [] {});
    g_source_remove(nWatch);
    return nStatus;
}

class TerminalApp {
public:
    TerminalApp(ProgramShell& shell, const TerminalOptions& options)
        : m_shell(shell),
          m_options(options),
          m_window(m_logic, stdout, ChooseProgressStyle(options), isatty(STDIN_FILENO) != 0) {
        m_window.SetColumns(TerminalColumns());
    }

    int Run() {
        return RunWithWindow(
            m_shell, m_logic, m_window, [] {}, [this] { Loop(); }, [this] { m_window.End(); });
    }

private:
    // The Exit button's question; without a terminal to ask on, the answer is
    // yes, and so is a second Ctrl-C.
    bool Confirm() {
        if (g_bTerminated || !isatty(STDIN_FILENO)) return true;
        m_window.Ask(LoadText(IDS_ABORT_CAPTION) + " " + LoadText(IDS_CONFIRM_EXIT) + " [y/N] ");
        std::string answer;
        g_bInterrupted = false;
        const bool bLine = ReadLine(answer);
        const bool bInterrupted = g_bInterrupted.exchange(false);
        if (bInterrupted) m_window.Say("\n");
        m_window.Answered();
        return bInterrupted || (bLine && (answer == "y" || answer == "Y"));
    }

    // Runs the window until it ends: closed by the run, or by Exit.
    void Loop() {
        for (;;) {
            if (g_bInterrupted.exchange(false) && m_logic.OnExit([this] { return Confirm(); })) {
                return;
            }
            if (g_bResized.exchange(false)) m_window.SetColumns(TerminalColumns());
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

    void InstallInto(const std::string& folder) {
        g_runLog.Write("folder", folder);
        m_window.Say("Installing into " + folder + "\n");
        m_logic.OnInstallNow(folder);
    }

    // The installation choice; true when it ended with Exit.
    bool AskForFolder() {
        const std::string defaultFolder = m_window.ChoiceDefault();
        // Answered by the command line: no question.
        if (m_options.bYes || !m_options.folder.empty()) {
            const std::string folder =
                m_options.folder.empty()
                    ? defaultFolder
                    : DialogLogic::BrowseResult(ExpandTypedFolder(m_options.folder));
            const std::string problem = PrepareInstallFolder(folder);
            if (!problem.empty()) {
                std::fprintf(stderr, "corvana-updater: cannot install there: %s\n",
                             problem.c_str());
                m_logic.OnExit([] { return true; });
                return true;
            }
            InstallInto(folder);
            return false;
        }
        for (;;) {
            m_window.Ask(
                FormatText("Install into %s\n"
                           "  Enter: install there; a folder: install into its %s "
                           "sub-folder; q: exit\n> ",
                           defaultFolder.c_str(), PRODUCT_FOLDER));
            std::string line;
            const bool bLine = ReadLine(line);
            m_window.Answered();
            g_bInterrupted = false;
            if (bLine && line != "q") {
                const std::string folder = line.empty()
                                               ? defaultFolder
                                               : DialogLogic::BrowseResult(ExpandTypedFolder(line));
                // A folder that cannot be installed into is refused here, before
                // anything is fetched; the question is asked again.
                const std::string problem = PrepareInstallFolder(folder);
                if (!problem.empty()) {
                    m_window.Say("Cannot install there: " + problem + "\n");
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

    ProgramShell& m_shell;
    const TerminalOptions& m_options;
    DialogLogic m_logic{g_run};
    TerminalWindow m_window;
};

}  // namespace

int main(int argc, char** argv) {
    TerminalOptions options;
    if (const int nStatus = ReadOptions(argc, argv, options); nStatus >= 0) return nStatus;
    std::vector<const char*> words{argv[0]};
    for (const std::string& word : options.rest) words.push_back(word.c_str());
    ProgramShell shell(JoinArguments(static_cast<int>(words.size()), words.data()));
    if (std::string error; !options.log.empty() && !g_runLog.Open(options.log, error)) {
        std::fprintf(stderr, "corvana-updater: cannot write the log %s: %s\n", options.log.c_str(),
                     error.c_str());
        return EXIT_FAILED;
    }
    g_runLog.Write("start", std::string("corvana-updater ") + CORVANA_VERSION +
                                ", arguments: " + WithoutLoginId(shell.Arguments()));

    struct sigaction action {};
    action.sa_handler = OnInterrupt;  // no SA_RESTART: a waiting read returns
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnTerminate;
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnResize;
    sigaction(SIGWINCH, &action, nullptr);

    // Without a folder that is the user's alone, another user could hold the
    // mutexes or answer for the client: the run ends before it begins.
    if (std::string cause; PrivateRuntimeFolder(cause).empty()) {
        std::fprintf(stderr, "corvana-updater: %s\n", cause.c_str());
        g_runLog.Write("failure", cause);
        g_runLog.Write("end", "exit status " + std::to_string(EXIT_FAILED));
        return EXIT_FAILED;
    }
    const bool bStarted = shell.Start([](const std::string& text, const std::string& caption) {
        g_runLog.Write("box", caption + ": " + text);
        std::printf("%s: %s\n", caption.c_str(), text.c_str());
    });
    if (!bStarted) {
        g_runLog.Write("end", "exit status " + std::to_string(shell.StartStatus()));
        return shell.StartStatus();
    }
    // The desktop window where a display can be opened, unless the installation
    // choice is answered on the command line or the terminal is asked for.
    const bool bAnswered = options.bYes || !options.folder.empty();
    if (!options.bTerminal && !bAnswered && OpenDisplay(argc, argv)) {
        return RunDesktopWindow(shell);
    }
    return TerminalApp(shell, options).Run();
}
