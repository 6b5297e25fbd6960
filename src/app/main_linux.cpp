// corvana-updater: the Linux program, with the desktop window when a display can
// be opened, else the terminal front end.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/gtk/gtk_window.h"
#include "app/linux/command_options.h"
#include "app/linux/desktop_launcher.h"
#include "app/linux/run_log.h"
#include "app/program_shell.h"
#include "app/run_driver.h"
#include "app/terminal/terminal_app.h"
#include "launch/launch.h"
#include "net/http_downloader.h"
#include "platform/runtime_folder_posix.h"
#include "run/command_line.h"
#include "run/update_run.h"
#include "verify/patch_set.h"

namespace {

using namespace corvana;

std::atomic<bool> g_bInterrupted{false};
std::atomic<bool> g_bTerminated{false};  // SIGTERM: Exit, without asking
std::atomic<bool> g_bResized{false};

void OnInterrupt(int) { g_bInterrupted = true; }
void OnResize(int) { g_bResized = true; }
void OnTerminate(int) {
    g_bTerminated = true;
    g_bInterrupted = true;
}

// What the program owns for its one run.
struct Program {
    UpdateRun run;
    HttpDownloader downloader;
    RunLog log;
};

// The run with frontEnd; a run that reached the client registers the desktop launcher.
int Drive(Program& program, ProgramShell& shell, FrontEnd& frontEnd) {
    LoggedView loggedView(frontEnd.View(), program.log);
    program.run.SetFetcher(&program.downloader);
    program.run.SetFetcherSource([] { return std::make_unique<HttpDownloader>(); });
    const int nStatus =
        DriveRun(shell, program.run, frontEnd, program.log.IsOpen() ? loggedView : frontEnd.View());
    if (program.run.GetOutcome() == RunOutcome::LAUNCHED && !program.run.UpdatedFolder().empty()) {
        // Only an updater with the publisher's key can repair.
        const bool bRepair = !BuiltInPublicKey().empty();
        if (Result registered = RegisterLauncher(program.run.UpdatedFolder(), bRepair);
            !registered) {
            const std::string problem = registered.GetFailure().Text();
            program.log.Write("failure", "the desktop launcher was not registered: " + problem);
            std::fprintf(stderr, "corvana-updater: the desktop launcher was not registered: %s\n",
                         problem.c_str());
        }
    }
    return nStatus;
}

int Start(Program& program, const Options& options, int argc, char** argv) {
    std::vector<const char*> words{argv[0]};
    for (const std::string& word : options.rest) words.push_back(word.c_str());
    ProgramShell shell(JoinArguments(static_cast<int>(words.size()), words.data()));
    program.log.Write("start", std::string("corvana-updater ") + CORVANA_VERSION +
                                   ", arguments: " + WithoutLoginId(shell.Arguments()));
    // Without a folder that is the user's alone, another user could hold the
    // mutexes or answer for the client: the run ends before it begins.
    if (std::string cause; PrivateRuntimeFolder(cause).empty()) {
        std::fprintf(stderr, "corvana-updater: %s\n", cause.c_str());
        program.log.Write("failure", cause);
        return EXIT_FAILED;
    }
    if (const ResultOf<EarlyEnd> started =
            shell.Start([&](const std::string& text, const std::string& caption) {
                program.log.Write("box", caption + ": " + text);
                std::printf("%s: %s\n", caption.c_str(), text.c_str());
            });
        !started) {
        if (const std::string& cause = started.GetFailure().cause; !cause.empty()) {
            std::fprintf(stderr, "corvana-updater: %s\n", cause.c_str());
            program.log.Write("failure", cause);
        }
        return started.GetFailure().nStatus;
    }
    // The desktop window where a display can be opened, unless the installation
    // choice is answered on the command line or the terminal is asked for.
    const bool bAnswered = options.terminal.bYes || !options.terminal.folder.empty();
    if (!options.bTerminal && !bAnswered && OpenDisplay(argc, argv)) {
        GtkPanel panel(program.run, &g_bInterrupted);
        return Drive(program, shell, panel);
    }
    TerminalApp terminal(program.run, {g_bInterrupted, g_bTerminated, g_bResized}, options.terminal,
                         program.log);
    return Drive(program, shell, terminal);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int nStatus = ReadOptions(argc, argv, options); nStatus >= 0) return nStatus;
    Program program;
    if (!options.log.empty()) {
        if (Result opened = program.log.Open(options.log); !opened) {
            std::fprintf(stderr, "corvana-updater: cannot write the log %s\n",
                         opened.GetFailure().Text().c_str());
            return EXIT_FAILED;
        }
    }
    struct sigaction action {};
    action.sa_handler = OnInterrupt;  // no SA_RESTART: a waiting read returns
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnTerminate;
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnResize;
    sigaction(SIGWINCH, &action, nullptr);
    const int nStatus = Start(program, options, argc, argv);
    program.log.Write("end", "exit status " + std::to_string(nStatus));
    return nStatus;
}
