// The window's requests reach the run from the window's own thread while the run
// polls on its thread: the hand-over of the installation choice, Exit and the
// client's version answer. (Also run under ThreadSanitizer.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "app/dialog_logic.h"
#include "net/http_downloader.h"
#include "platform/platform.h"
#include "platform/text_table.h"
#include "run/update_run.h"
#include "support/test_env.h"

namespace corvana {
namespace {

// Pauses for real, but briefly, so that both threads interleave; its ticks are
// pauses, so that a wait with a time limit outlasts a slow machine's scheduling.
class BriefClock : public RunClock {
public:
    void Pause(uint32_t) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++m_dwTick;
    }
    uint32_t TickCount() override { return m_dwTick; }

private:
    std::atomic<uint32_t> m_dwTick{0};
};

// Records the run's intents; the run calls it from its own thread.
class IntentLog : public RunView {
public:
    void ShowStatus(const std::string& text) override { Add("status " + text); }
    void SetProgressRange(int) override {}
    void ShowProgress(const RunProgress&) override {}
    void ShowSizeLine(const std::string&) override {}
    void AskInstallFolder(const std::string&) override { Add("ask"); }
    void EndInstallChoice() override { Add("end-choice"); }
    void ShowErrorBox(const std::string& text, const std::string&) override { Add("box " + text); }
    void ExplainFailure(const std::string& cause) override { Add("cause " + cause); }
    void OfferExitOnly() override { Add("offer-exit"); }
    void Close() override { Add("close"); }

    bool Has(const std::string& intent) {
        std::lock_guard lock(m_mutex);
        return std::find(m_intents.begin(), m_intents.end(), intent) != m_intents.end();
    }

private:
    void Add(std::string intent) {
        std::lock_guard lock(m_mutex);
        m_intents.push_back(std::move(intent));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_intents;
};

struct ControlCase {
    const char* pszName;
    const char* pszCommandLine;
    std::string ready;  // the intent after which the run polls for the window's request
    std::function<void(UpdateRun&, DialogLogic&, const test::TempDir&)> window;
    RunOutcome outcome;
    std::vector<std::string> expected;  // intents that must have been seen
};

TEST(RunControl, WindowRequestsCrossToTheRunsThread) {
    test::SetEnv(
        "CORVANA_PATCH_HOST",
        (test::ServerUrl("CORVANA_TEST_NGINX").substr(7) + "/no-such-patch-server").c_str());
    const std::vector<ControlCase> cases{
        {"Exit during the choice",
         "",
         "ask",
         [](UpdateRun&, DialogLogic& logic, const test::TempDir&) {
             logic.OnExit([] { return true; });
         },
         RunOutcome::CANCELLED,
         {"close"}},
        {"Install during the choice",
         "",
         "ask",
         [](UpdateRun&, DialogLogic& logic, const test::TempDir& temp) {
             logic.OnInstallNow(temp / "Corvana");
         },
         RunOutcome::FAILED,  // the folder was taken; the server has no manifest
         {"end-choice", "status " + LoadText(IDS_SEARCHING_TARGETS), "offer-exit"}},
        {"the client's answer",
         "-THIS_FOLDER -CHECK_VERSION",
         "status " + LoadText(IDS_ANALYSING_CLIENT),
         [](UpdateRun& run, DialogLogic&, const test::TempDir&) { run.DeliverClientVersion(222); },
         RunOutcome::LAUNCHED,
         {"box vc : 1.222"}},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        test::TempDir temp;
        test::CopyStandIn("cw.exe", temp.Path());  // answers nobody: there is no window
        UpdateRun run;
        DialogLogic logic(run);
        IntentLog view;
        BriefClock clock;
        HttpDownloader downloader;
        run.SetView(&view);
        run.SetClock(&clock);
        run.SetFetcher(&downloader);
        run.SetOwnFolder(temp.Path().string() +
                         static_cast<char>(std::filesystem::path::preferred_separator));
        std::thread worker([&] { run.Run(c.pszCommandLine); });
        for (int i = 0; i < 10000 && !view.Has(c.ready); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        c.window(run, logic, temp);
        worker.join();
        EXPECT_EQ(run.GetOutcome(), c.outcome);
        for (const std::string& intent : c.expected) EXPECT_TRUE(view.Has(intent)) << intent;
        EXPECT_FALSE(run.IsWaitingForInstallChoice());
    }
    test::SetEnv("CORVANA_PATCH_HOST", nullptr);
}

}  // namespace
}  // namespace corvana

namespace corvana {
namespace {

TEST(BrowseFolder, StartsAboveTheProductFolderAndAppendsIt) {
    const std::string sep(1, kPathSeparator);
    const std::string home = sep + "home" + sep + "u";
    const std::string field = home + sep + "Games" + sep + "Corvana";
    EXPECT_EQ(DialogLogic::BrowseStart(field, "other"), home + sep + "Games");
    EXPECT_EQ(DialogLogic::BrowseStart(field, field), "");  // the default: no start folder
    EXPECT_EQ(DialogLogic::BrowseStart("Corvana", "other"), "");
    EXPECT_EQ(DialogLogic::BrowseResult(home), home + sep + "Corvana");
    EXPECT_EQ(DialogLogic::BrowseResult(home + sep), home + sep + "Corvana");
}

}  // namespace
}  // namespace corvana
