// One whole update as the program runs it, without the run's fixed pauses:
// update FOLDER [VERSION], with CORVANA_PATCH_HOST naming the patch server. The
// installation choice is answered with FOLDER; with VERSION, FOLDER is an
// installed client's (with its cw.exe) that answers VERSION, as -THIS_FOLDER
// runs. Exit status 0 when every entry was installed.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "install/transaction.h"
#include "net/http_downloader.h"
#include "run/update_run.h"

namespace {

using namespace corvana;

// Answers the installation choice (or the version query) at the first pause; no
// pause takes time.
class NoPauses : public RunClock {
public:
    NoPauses(UpdateRun& run, std::string folder, int32_t nVersion)
        : m_run(run), m_folder(std::move(folder)), m_nVersion(nVersion) {}
    void Pause(uint32_t dwMs) override {
        m_dwTick += dwMs;
        m_run.ChooseFolder(m_folder);
        if (m_nVersion != 0) m_run.DeliverClientVersion(m_nVersion);
    }
    uint32_t TickCount() override { return m_dwTick; }

private:
    UpdateRun& m_run;
    std::string m_folder;
    int32_t m_nVersion;
    uint32_t m_dwTick = 0;
};

// Shows nothing; remembers whether the run failed before its end.
class QuietView : public RunView {
public:
    bool bFailed = false;
    void ShowStatus(const std::string&) override {}
    void SetProgressRange(int) override {}
    void ShowProgress(const RunProgress&) override {}
    void ShowSizeLine(const std::string&) override {}
    void AskInstallFolder(const std::string&) override {}
    void EndInstallChoice() override {}
    void ShowErrorBox(const std::string&, const std::string&) override {}
    void ExplainFailure(const std::string& cause) override {
        std::fprintf(stderr, "%s\n", cause.c_str());
        bFailed = true;
    }
    void OfferExitOnly() override { bFailed = true; }
    void Close() override {}
};

UpdateRun g_run;
HttpDownloader g_downloader;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: update FOLDER (ending in a separator) [VERSION]\n");
        return 2;
    }
    const int32_t nVersion = argc == 3 ? static_cast<int32_t>(std::atoi(argv[2])) : 0;
    NoPauses clock(g_run, argv[1], nVersion);
    QuietView view;
    g_run.SetClock(&clock);
    g_run.SetView(&view);
    g_run.SetFetcher(&g_downloader);
    // CORVANA_BENCH_ONE_CONNECTION: every file in its turn, for a comparison.
    if (std::getenv("CORVANA_BENCH_ONE_CONNECTION") == nullptr) {
        g_run.SetFetcherSource([] { return std::make_unique<HttpDownloader>(); });
    }
    g_run.SetPublicKey(BuiltInPublicKey());
    if (nVersion != 0) g_run.SetOwnFolder(argv[1]);
    g_run.Run(nVersion != 0 ? "-THIS_FOLDER" : "");
    // The run ends by starting the client, which the bench does not install.
    return view.bFailed ? 1 : 0;
}
