// Whole runs against a patch server that is a folder, with a front end that
// records the run's intents, an instant clock and the stand-in programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>

#include "app/panel_view.h"
#include "archive/sha256.h"
#include "install/file_index.h"
#include "install/folder_guard.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "publish/zip_writer.h"
#include "run/patch_server.h"
#include "run/update_run.h"
#include "support/fake_run.h"
#include "support/fake_window.h"
#include "support/test_deltas.h"
#include "support/test_env.h"
#include "support/test_publisher.h"
#include "verify/patch_set.h"

namespace corvana {
namespace {

namespace fs = std::filesystem;

class FakeClock : public RunClock {
public:
    std::vector<uint32_t> pauses;
    std::function<void(uint32_t)> onPause;

    void Pause(uint32_t dwMs) override {
        pauses.push_back(dwMs);
        m_dwTick += dwMs;
        if (onPause) onPause(dwMs);
    }
    uint32_t TickCount() override { return m_dwTick; }

private:
    uint32_t m_dwTick = 1000;
};

class RecordingWindow : public test::FakeWindow {
public:
    bool Has(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
};

std::string T(int nId) { return LoadText(nId); }

class UpdateRunFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::SetEnv("CORVANA_REGISTRY_ROOT", (m_temp.Path() / "registry").string().c_str());
        fs::create_directories(m_server);
        fs::create_directories(m_folder);
        m_run.SetView(&m_view);
        m_run.SetFetcher(&m_fetcher);
        m_run.SetClock(&m_clock);
        m_run.SetOwnFolder(Folder());
        m_run.SetPublicKey("");  // unsigned sets, whatever key the build has
    }

    std::string Folder() const { return m_folder.string() + kPathSeparator; }

    void Publish(const std::string& manifest) {
        test::WriteWholeFile(m_server / "patch_info.txt", manifest);
    }
    // One of the test archives, published on the server under a name.
    void PublishArchive(const std::string& name, const std::string& sourceArchive) {
        // (removed first: mingw's copy_file does not overwrite under Wine)
        fs::remove(m_server / name);
        fs::copy_file(test::TestArchive(sourceArchive), m_server / name);
    }
    void InstallStandIn(const char* pszName) { test::CopyStandIn(pszName, m_folder); }
    // Answers the installation choice with the test's folder at the run's first pause.
    void ChooseFolderWhenAsked() {
        m_clock.onPause = [this](uint32_t) {
            m_run.ChooseFolder(Folder());  // nothing unless the run waits for it
        };
    }
    std::vector<std::string> LogLines(const char* pszName, std::size_t nLines = 1) {
        return test::WaitForLines(m_folder / pszName, nLines);
    }

    // Nothing was started that logs there (a started program logs at once).
    bool NothingLogged(const char* pszName) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return !fs::exists(m_folder / pszName);
    }

    test::TempDir m_temp;
    fs::path m_server = m_temp.Path() / "server";
    fs::path m_folder = m_temp.Path() / "Corvana";
    test::FolderFetcher m_fetcher{m_server};
    test::RecordingView m_view;
    FakeClock m_clock;
    UpdateRun m_run;
};

TEST_F(UpdateRunFlowTest, FreshInstallationFetchesEveryEntryAndStartsTheClient) {
    InstallStandIn("cw.exe");
    PublishArchive("base.zip", "deflated.zip");
    PublishArchive("sound.zip", "folders.zip");
    Publish("# client\r\n101=base.zip;base files\r\n150=sound.zip\r\n");
    ChooseFolderWhenAsked();
    // This run is seen through the Windows panel's controls.
    RecordingWindow window;
    PanelView panel(window);
    m_run.SetView(&panel);

    m_run.Run("");
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::LAUNCHED);

    const std::vector<std::string> expectedStart{
        "text 1001 " + T(IDS_CHECKING_VERSION),
        "text 1002 ",
        "text 1001 " + T(IDS_CHOOSE_PATH),
        "text 1005 " + T(IDS_BROWSE),
        "text 1006 " + T(IDS_INSTALL_NOW),
        "text 1007 " + T(IDS_EXIT),
        "hide 1000",
        "hide 1002",
        "show 1008",
        "show 1005",
        "show 1006",
        "show 1007",
        "show 1000",
        "show 1002",
        "hide 1008",
        "hide 1005",
        "hide 1006",
        "hide 1007",
        "text 1001 " + T(IDS_SEARCHING_TARGETS),
        "range 0 1024",
        "pos 0",
        "pos 0",
        "text 1001 [base files] " + T(IDS_DOWNLOADING) + " (1/3)"};
    ASSERT_GE(window.calls.size(), expectedStart.size());
    EXPECT_EQ(
        std::vector<std::string>(window.calls.begin(),
                                 window.calls.begin() + static_cast<long>(expectedStart.size())),
        expectedStart);

    const std::string label2 = T(IDS_PATCH_FILE) + " #2";
    for (const std::string& status :
         {"[base files] " + T(IDS_INSTALLING) + " (1/3)",
          "[base files] " + T(IDS_INSTALLED) + " (1/3)",
          "[" + label2 + "] " + T(IDS_DOWNLOADING) + " (2/3)",
          "[" + label2 + "] " + T(IDS_UNPACKING) + " (2/3)", T(IDS_PATCH_DONE)}) {
        EXPECT_TRUE(window.Has("text 1001 " + status)) << status;
    }
    for (const char* pos : {"pos 500", "pos 501", "pos 506", "pos 507", "pos 512", "pos 1012",
                            "pos 1013", "pos 1018", "pos 1019", "pos 1024"}) {
        EXPECT_TRUE(window.Has(pos)) << pos;
    }
    EXPECT_EQ(window.calls.back(), "close");
    EXPECT_EQ(m_clock.pauses, (std::vector<uint32_t>{100, 250, 750, 500}));

    EXPECT_EQ(test::ReadWholeFile(m_folder / "alpha.txt"), "alpha\n");
    EXPECT_TRUE(fs::exists(m_folder / "bin" / "f.txt"));
    EXPECT_FALSE(fs::exists(m_folder / "base.zip"));  // archives go once unpacked
    EXPECT_FALSE(fs::exists(m_folder / "sound.zip"));
    EXPECT_EQ(LogLines("cw.log"), std::vector<std::string>{Folder() + "cw.exe"});
}

TEST_F(UpdateRunFlowTest, SizeLineShowsLocaleGroupedCounts) {
    test::SetEnv("LC_ALL", nullptr);
    test::SetEnv("LC_NUMERIC", "ko_KR.UTF-8");
    InstallStandIn("cw.exe");
    PublishArchive("big.zip", "stored.zip");
    const auto size = fs::file_size(m_server / "big.zip");
    Publish("5=big.zip;big\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    ASSERT_GT(size, 999u);
    ASSERT_LT(size, 1000000u);
    std::string grouped = std::to_string(size);
    grouped.insert(grouped.size() - 3, ",");
    EXPECT_TRUE(m_view.Has("size " + grouped + " / " + grouped + " bytes")) << grouped;
}

TEST_F(UpdateRunFlowTest, CheckVersionShowsTheVersionWithoutTheNetwork) {
    Publish("101=never.zip\n");
    m_run.Run("-CHECK_VERSION");
    EXPECT_EQ(m_view.calls.back(), "close");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|vc : 1.000"));
    EXPECT_FALSE(m_view.Has("status " + T(IDS_SEARCHING_TARGETS)));
}

TEST_F(UpdateRunFlowTest, ThisFolderFetchesOnlyWhatIsNewerThanTheClientsAnswer) {
    InstallStandIn("cw.exe");
    PublishArchive("new.zip", "deflated.zip");
    Publish("101=old.zip\n150=old2.zip\n171=new.zip;new files\n");
    m_clock.onPause = [this](uint32_t dwMs) {
        if (dwMs == 50) m_run.DeliverClientVersion(150);  // the client's answer
    };
    m_run.Run("-THIS_FOLDER");
    EXPECT_TRUE(m_view.Has("status " + T(IDS_ANALYSING_CLIENT)));
    EXPECT_TRUE(m_view.Has("range 512"));
    EXPECT_TRUE(m_view.Has("status [new files] " + T(IDS_DOWNLOADING) + " (1/2)"));
    EXPECT_TRUE(m_view.Of("ask ").empty());  // no installation choice
    // The version query and then the client itself, both in the program's folder.
    EXPECT_EQ(LogLines("cw.log", 1).size(), 1u);  // "CW.exe checkversion" does not log
    EXPECT_EQ(test::ReadWholeFile(m_folder / "alpha.txt"), "alpha\n");
}

TEST_F(UpdateRunFlowTest, ThisFolderWithoutAClientFetchesEverything) {
    PublishArchive("a.zip", "deflated.zip");
    Publish("1=a.zip;all\n");
    m_run.Run("-THIS_FOLDER");
    EXPECT_FALSE(m_view.Has("status " + T(IDS_ANALYSING_CLIENT)));  // no version wait
    EXPECT_TRUE(m_view.Of("ask ").empty());
    EXPECT_TRUE(fs::exists(m_folder / "alpha.txt"));
}

TEST_F(UpdateRunFlowTest, CancelDuringTheVersionWaitEndsWithCodeMinus1) {
    InstallStandIn("cw.exe");
    Publish("1=a.zip\n");
    m_clock.onPause = [this](uint32_t dwMs) {
        if (dwMs == 50) m_run.Cancel();
    };
    m_run.Run("-THIS_FOLDER");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-1"));
    EXPECT_EQ(m_view.calls.back(), "close");
    EXPECT_FALSE(m_view.Has("status " + T(IDS_SEARCHING_TARGETS)));
}

TEST_F(UpdateRunFlowTest, ClientThatNeverAnswersCountsAsVersion170) {
    InstallStandIn("cw.exe");
    Publish("170=old.zip\n171=missing.zip\n");
    m_run.Run("-THIS_FOLDER -CHECK_VERSION");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|vc : 1.170"));
    const auto waits = std::count(m_clock.pauses.begin(), m_clock.pauses.end(), 50u);
    EXPECT_GE(waits, 60);  // 3,000 ms of 50 ms steps
    EXPECT_LE(waits, 62);
}

TEST_F(UpdateRunFlowTest, ClientNewerThanTheManifestIsUnknown) {
    InstallStandIn("cw.exe");
    Publish("101=a.zip\n150=b.zip\n");
    const std::string newer = ", newer than every entry of the manifest (the highest is 150)";
    for (const int32_t nAnswer : {200, 0}) {  // 0: no answer, taken as 170
        test::RecordingView view;
        m_run.SetView(&view);
        m_clock.onPause = [&](uint32_t dwMs) {
            if (dwMs == 50 && nAnswer != 0) m_run.DeliverClientVersion(nAnswer);
        };
        m_run.Run("-THIS_FOLDER");
        EXPECT_EQ(m_run.GetOutcome(), RunOutcome::FAILED);
        const std::string cause =
            nAnswer != 0 ? "the installed client reports version 200 (1.200)" + newer
                         : "cw.exe gave no answer to \"CW.exe checkversion\" within 3 s and was "
                           "taken as version 170 (1.170)" +
                               newer;
        const std::vector<std::string> tail{"why " + cause, "status " + T(IDS_UNKNOWN_CLIENT),
                                            "exit-only", "close", "close"};
        EXPECT_EQ(std::vector<std::string>(view.calls.end() - 5, view.calls.end()), tail);
    }
    EXPECT_TRUE(NothingLogged("cw.log"));  // nothing started
}

TEST_F(UpdateRunFlowTest, NothingNewStartsTheClient) {
    InstallStandIn("cw.exe");
    Publish("101=a.zip\n171=b.zip\n");
    m_clock.onPause = [this](uint32_t dwMs) {
        if (dwMs == 50) m_run.DeliverClientVersion(171);
    };
    m_run.Run("-THIS_FOLDER");
    EXPECT_TRUE(m_view.Has("status " + T(IDS_NOTHING_TO_PATCH)));
    EXPECT_NE(std::find(m_clock.pauses.begin(), m_clock.pauses.end(), 1200u), m_clock.pauses.end());
    EXPECT_EQ(LogLines("cw.log").size(), 1u);
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::LAUNCHED);
}

TEST_F(UpdateRunFlowTest, HtmlOrMissingManifestMeansTheServerIsUnreachable) {
    for (const char* manifest : {"<!doctype html><p>not here</p>", ""}) {
        test::RecordingView view;
        m_run.SetView(&view);
        Publish(manifest);
        if (*manifest == '\0') fs::remove(m_server / "patch_info.txt");
        m_run.Run("-THIS_FOLDER");
        const std::vector<std::string> tail{"status " + T(IDS_SERVER_UNREACHABLE), "exit-only",
                                            "close"};
        EXPECT_EQ(std::vector<std::string>(view.calls.end() - 3, view.calls.end()), tail);
        EXPECT_EQ(m_clock.pauses.back(), 10000u);
    }
}

TEST_F(UpdateRunFlowTest, ExitDuringTheChoiceClosesWithoutABox) {
    Publish("101=a.zip\n");
    m_clock.onPause = [this](uint32_t) { m_run.Cancel(); };
    m_run.Run("");
    EXPECT_EQ(m_view.calls.back(), "close");
    EXPECT_TRUE(m_view.Of("box ").empty());
    EXPECT_FALSE(m_view.Has("status " + T(IDS_SEARCHING_TARGETS)));
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::CANCELLED);
}

TEST_F(UpdateRunFlowTest, NoInternetShowsItsStatusThenTheBoxWithItsLineBreaks) {
    m_fetcher.bInternet = false;
    m_run.Run("-THIS_FOLDER");
    const std::string message = T(IDS_NO_INTERNET_MESSAGE);
    ASSERT_NE(message.find("\n\n"), std::string::npos);
    const std::vector<std::string> tail{"status " + T(IDS_INTERNET_FAILED),
                                        "box " + T(IDS_ERROR_CAPTION) + "|" + message, "close"};
    EXPECT_EQ(std::vector<std::string>(m_view.calls.end() - 3, m_view.calls.end()), tail);
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::FAILED);
}

TEST_F(UpdateRunFlowTest, CancelDuringATransferKeepsEarlierEntries) {
    PublishArchive("first.zip", "deflated.zip");
    PublishArchive("second.zip", "five.zip");
    Publish("1=first.zip;one\n2=second.zip;two\n");
    ChooseFolderWhenAsked();
    m_view.onSizeLine = [&](const std::string&) {
        if (m_view.Has("status [two] " + T(IDS_DOWNLOADING) + " (2/3)")) m_run.Cancel();
    };
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-3"));
    EXPECT_TRUE(fs::exists(m_folder / "alpha.txt"));
    EXPECT_FALSE(fs::exists(m_folder / "f1.txt"));
    EXPECT_FALSE(fs::exists(m_folder / "second.zip"));  // the current file is not saved
}

// Whatever is thrown on the run's thread (an allocation that fails, a window that
// fails under the run's request) ends the run as an error with what it was doing,
// and the archive being unpacked is discarded whole; a failure of another thread
// ends it at its next cancellation point.
TEST_F(UpdateRunFlowTest, AFailureThrownOrReportedEndsTheRunWithItsCause) {
    struct OutOfMemoryFetcher : test::FolderFetcher {
        using FolderFetcher::FolderFetcher;
        Expected<uint32_t, TransferError> ReadChunk() override {
            if (requests.back().ends_with("/b.zip")) throw std::bad_alloc();
            return FolderFetcher::ReadChunk();
        }
    };
    OutOfMemoryFetcher fetcher{m_server};
    const std::string unpacking = "status [b] " + T(IDS_UNPACKING) + " (2/3)";
    struct Case {
        const char* pszName;
        std::function<void(UpdateRun&)> arrange;
        const char* pszCommand;
        std::string cause;
    };
    const std::vector<Case> cases{
        {"allocation", [&](UpdateRun& run) { run.SetFetcher(&fetcher); }, "",
         "out of memory while fetching http://patch.test/web_patch/corvana/b.zip"},
        {"window",
         [&](UpdateRun&) {
             m_view.onCall = [&](const std::string& call) {
                 if (call == unpacking) throw std::runtime_error("the window is gone");
             };
         },
         "", "the window is gone while installing b.zip"},
        {"another thread",
         [&](UpdateRun& run) {
             m_clock.onPause = [&](uint32_t dwMs) {
                 if (dwMs == 50) run.Abort("the window's endpoint failed: no memory");
             };
         },
         "-THIS_FOLDER", "the window's endpoint failed: no memory"},
    };
    InstallStandIn("cw.exe");
    PublishArchive("a.zip", "deflated.zip");
    PublishArchive("b.zip", "five.zip");
    Publish("1=a.zip;a\n2=b.zip;b\n");
    test::SetEnv("CORVANA_PATCH_HOST", "patch.test");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_view.calls.clear();
        m_view.onCall = nullptr;
        UpdateRun run;
        run.SetView(&m_view);
        run.SetFetcher(&m_fetcher);
        run.SetClock(&m_clock);
        run.SetOwnFolder(Folder());
        run.SetPublicKey("");
        m_clock.onPause = [&](uint32_t) { run.ChooseFolder(Folder()); };
        c.arrange(run);
        run.Run(c.pszCommand);
        EXPECT_EQ(run.GetOutcome(), RunOutcome::FAILED);
        EXPECT_TRUE(m_view.Has("why " + c.cause)) << ::testing::PrintToString(m_view.Of("why "));
        EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-1"));
        EXPECT_EQ(m_view.calls.back(), "close");
        EXPECT_FALSE(fs::exists(m_folder / "f1.txt"));  // b.zip's items: none, or all
        EXPECT_FALSE(fs::exists(m_folder / "b.zip"));
        EXPECT_FALSE(fs::exists(m_folder / STAGING_FOLDER_NAME));
        EXPECT_TRUE(NothingLogged("cw.log"));
    }
    test::SetEnv("CORVANA_PATCH_HOST", nullptr);
}

TEST_F(UpdateRunFlowTest, InstallationPackageStartsSetupAndDeletesIt) {
    InstallStandIn("cw.exe");
    InstallStandIn("setup.exe");  // as if unpacked from the package
    PublishArchive("install.zip", "deflated.zip");
    Publish("1=install.zip;" + T(IDS_INSTALL_WORD) + " package\n");
    ChooseFolderWhenAsked();
    // The pauses between the deletion attempts take real time here: a running
    // program's file cannot be deleted on Windows, and setup needs a moment to end.
    m_clock.onPause = [this, choose = m_clock.onPause](uint32_t dwMs) {
        choose(dwMs);
        if (dwMs == 500) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    m_run.Run("");
    const std::vector<std::string> statuses = m_view.Of("status ");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), T(IDS_INSTALL_DONE)), 2);
    EXPECT_EQ(LogLines("setup.log"), std::vector<std::string>{Folder() + "setup.exe -install"});
    EXPECT_FALSE(fs::exists(m_folder / "setup.exe"));
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::LAUNCHED);
}

TEST_F(UpdateRunFlowTest, MissingSetupFallsBackToTheClient) {
    InstallStandIn("cw.exe");
    PublishArchive("install.zip", "deflated.zip");
    Publish("1=install.zip;install\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("status setup.exe -install " + T(IDS_RUN_FAILED_TRY_CLIENT)));
    EXPECT_EQ(LogLines("cw.log").size(), 1u);
    EXPECT_EQ(m_view.calls.back(), "close");
}

TEST_F(UpdateRunFlowTest, NeitherSetupNorClientRemovesTheInstallationKey) {
    RegistryKey key = nullptr;
    ASSERT_EQ(RegistryCreate(RegistryLocalMachine(), "SOFTWARE\\Halvorn\\CW3_Path\\Sub", &key), 0);
    RegistryClose(key);
    PublishArchive("INSTALL.ZIP", "deflated.zip");
    Publish("1=INSTALL.ZIP;install\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("status setup.exe -install " + T(IDS_RUN_FAILED)));
    EXPECT_TRUE(m_view.Has("status " + T(IDS_UNKNOWN_ERROR)));
    EXPECT_EQ(m_view.calls.back(), "close");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_INSTALL_INCOMPLETE)));
    EXPECT_NE(RegistryOpenFull(RegistryLocalMachine(), "SOFTWARE\\Halvorn\\CW3_Path", &key), 0);
    EXPECT_EQ(RegistryOpenFull(RegistryLocalMachine(), "SOFTWARE\\Halvorn", &key), 0);
    RegistryClose(key);
}

TEST_F(UpdateRunFlowTest, MissingClientEndsWithTheMainProgramBox) {
    PublishArchive("a.zip", "deflated.zip");
    Publish("1=a.zip\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("status cw.exe " + T(IDS_RUN_FAILED)));
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_CANNOT_RUN_MAIN)));
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::FAILED);
}

TEST_F(UpdateRunFlowTest, UnsafeEntryNameEndsTheRunAndKeepsEarlierEntries) {
    InstallStandIn("cw.exe");
    PublishArchive("a.zip", "deflated.zip");
    Publish("1=a.zip\n2=../escape.zip\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-4"));
    EXPECT_TRUE(fs::exists(m_folder / "alpha.txt"));
    EXPECT_FALSE(fs::exists(m_temp.Path() / "escape.zip"));
    EXPECT_TRUE(NothingLogged("cw.log"));
}

TEST_F(UpdateRunFlowTest, FileThatCannotBeFetchedEndsAsUnreachable) {
    InstallStandIn("cw.exe");
    PublishArchive("a.zip", "deflated.zip");
    Publish("1=a.zip\n2=missing.zip\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("status " + T(IDS_SERVER_UNREACHABLE)));
    EXPECT_TRUE(fs::exists(m_folder / "alpha.txt"));
    EXPECT_TRUE(NothingLogged("cw.log"));
    EXPECT_EQ(m_run.GetOutcome(), RunOutcome::FAILED);
}

TEST_F(UpdateRunFlowTest, ArchiveThatCannotBeUnpackedEndsWithCodeMinus5) {
    InstallStandIn("cw.exe");
    PublishArchive("bad.zip", "bad-crc.zip");
    Publish("1=bad.zip\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_TRUE(m_view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-5"));
    EXPECT_FALSE(fs::exists(m_folder / "bad.zip"));
    EXPECT_TRUE(NothingLogged("cw.log"));
}

TEST_F(UpdateRunFlowTest, FileThatIsNotAnArchiveIsKept) {
    InstallStandIn("cw.exe");
    test::WriteWholeFile(m_server / "readme.txt", "read me\n");
    Publish("1=readme.txt\n");
    ChooseFolderWhenAsked();
    m_run.Run("");
    EXPECT_EQ(test::ReadWholeFile(m_folder / "readme.txt"), "read me\n");
    EXPECT_EQ(LogLines("cw.log").size(), 1u);
}

TEST_F(UpdateRunFlowTest, OnlyASetThePublisherSignedIsInstalled) {
    const test::TestPublisher publisher;
    const test::TestPublisher stranger;
    const std::vector<std::string> everything{"patch_info.txt", "base.zip"};
    struct Case {
        const char* pszName;
        std::function<void()> tamper;  // after the set was signed at 2000
        uint64_t nAccepted;            // what the folder accepted before
        uint64_t nAcceptedAfter;       // the list itself is genuine: its time is taken
        const char* pszCause = "";     // a part of the cause line
        bool bInstalls = false;
        const char* pszRequest = "";  // the end of a URL the run fetches
    };
    const auto pointTo = [&](const char* pszText, bool bListed) {
        test::WriteWholeFile(m_server / SET_POINTER_NAME, pszText);
        if (bListed) publisher.SignSet(m_server, {"patch_info.txt", "base.zip", "set.txt"}, 2000);
    };
    const std::vector<Case> cases{
        {"signed set", [] {}, 0, 2000, "", true, "/web_patch/corvana/base.zip"},
        {"a set's own folder", [&] { pointTo("20261209T101500Z.002\r\n", true); }, 0, 2000, "",
         true, "/web_patch/corvana.sets/20261209T101500Z.002/base.zip"},
        {"a pointer the list does not name", [&] { pointTo("20261209T101500Z\n", false); }, 0, 0,
         "/corvana.sets/20261209T101500Z/SHA256SUMS: set.txt: not listed in SHA256SUMS"},
        {"a pointer out of the sets", [&] { pointTo("../../elsewhere\n", true); }, 0, 0,
         "/web_patch/corvana/set.txt: not the name of a set"},
        {"tampered manifest", [&] { Publish("201=base.zip;base\n202=base.zip;again\n"); }, 0, 0},
        {"tampered archive", [&] { PublishArchive("base.zip", "five.zip"); }, 0, 2000},
        {"archive not listed", [&] { publisher.SignSet(m_server, {"patch_info.txt"}, 2000); }, 0,
         2000},
        {"no signature", [&] { fs::remove(m_server / SIGNATURE_NAME); }, 0, 0,
         "/SHA256SUMS.minisig (host patch.test, port 80): the server answered with an error "
         "status (HTTP 404)"},
        {"a web page for the signature",
         [&] { test::WriteWholeFile(m_server / SIGNATURE_NAME, "\n<html>Sign in</html>\n"); }, 0, 0,
         "SHA256SUMS.minisig: a web page, not the patch set's file"},
        {"another key", [&] { stranger.SignSet(m_server, everything, 2000); }, 0, 0},
        {"truncated signature",
         [&] {
             const std::string text = test::ReadWholeFile(m_server / SIGNATURE_NAME);
             test::WriteWholeFile(m_server / SIGNATURE_NAME, text.substr(0, text.size() - 20));
         },
         0, 0},
        {"older set replayed", [] {}, 2001, 2001},
    };
    test::SetEnv("CORVANA_PATCH_HOST", "patch.test");
    InstallStandIn("cw.exe");  // answers no window: taken as version 170
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        for (const char* name : {"alpha.txt", "base.zip", "cw.log", ACCEPTED_RECORD_NAME}) {
            fs::remove(m_folder / name);
        }
        fs::remove(m_server / SET_POINTER_NAME);
        m_fetcher.requests.clear();
        if (c.nAccepted != 0) {
            ASSERT_TRUE(StoreAcceptedTimestamp(test::OpenFolder(Folder()), c.nAccepted));
        }
        PublishArchive("base.zip", "deflated.zip");
        Publish("201=base.zip;base\n");
        publisher.SignSet(m_server, everything, 2000);
        c.tamper();
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.SetPublicKey(publisher.PublicKeyLine());
        m_run.Run("-THIS_FOLDER");

        const bool bSigned = c.bInstalls;
        EXPECT_TRUE(
            std::any_of(m_fetcher.requests.begin(), m_fetcher.requests.end(),
                        [&](const std::string& url) { return url.ends_with(c.pszRequest); }));
        // A web page is no attack: the server is taken as not the patch server.
        const bool bPage = std::string(c.pszName).find("web page") != std::string::npos;
        EXPECT_EQ(view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-6"),
                  !bSigned && !bPage);
        EXPECT_EQ(view.Has("status " + T(IDS_SERVER_UNREACHABLE)), bPage);
        const std::vector<std::string> why = view.Of("why ");
        EXPECT_TRUE(*c.pszCause == '\0' || std::any_of(why.begin(), why.end(),
                                                       [&](const std::string& line) {
                                                           return line.find(c.pszCause) !=
                                                                  std::string::npos;
                                                       }))
            << ::testing::PrintToString(why);
        EXPECT_EQ(fs::exists(m_folder / "alpha.txt"), bSigned);
        EXPECT_FALSE(fs::exists(m_folder / "base.zip"));
        EXPECT_TRUE(bSigned ? LogLines("cw.log").size() == 1 : NothingLogged("cw.log"));
        EXPECT_EQ(*ReadAcceptedTimestamp(test::OpenFolder(Folder())), c.nAcceptedAfter);
    }
    test::SetEnv("CORVANA_PATCH_HOST", nullptr);
}

// A set replaced on the server between the list and the manifest (or, for a
// repair, the index of installed files) is seen whole the second time; one that
// never verifies is refused after that second look.
TEST_F(UpdateRunFlowTest, ASetReplacedWhileItIsReadIsFetchedOnceMore) {
    const test::TestPublisher publisher;
    const std::vector<std::string> names{"patch_info.txt", "base.zip", FILE_SUMS_NAME,
                                         FILE_ENTRIES_NAME};
    const fs::path next = m_temp.Path() / "next";
    fs::create_directories(next);
    InstallStandIn("cw.exe");
    PublishArchive("base.zip", "deflated.zip");
    fs::copy_file(m_server / "base.zip", next / "base.zip");
    test::WriteWholeFile(next / "patch_info.txt", "201=base.zip;base\n202=base.zip;again\n");
    // The next set's index names a file the folder lacks: had the run checked the
    // folder against it with the first set's manifest, it would have fetched.
    test::WriteWholeFile(next / FILE_SUMS_NAME, Sha256Hex("x") + "  x.txt\n");
    test::WriteWholeFile(next / FILE_ENTRIES_NAME, "202\tbase.zip\t1\tx.txt\n");
    publisher.SignSet(next, names, 2001);
    struct Case {
        const char* pszName;
        const char* pszSwappedAt;  // the request before which the next set goes live
        const char* pszCommand;
        bool bReplaced;  // false: the manifest is tampered with instead
    };
    for (const Case& c :
         {Case{"replaced", MANIFEST_NAME, "-THIS_FOLDER", true},
          Case{"tampered", MANIFEST_NAME, "-THIS_FOLDER", false},
          Case{"replaced for a repair", FILE_SUMS_NAME, "-THIS_FOLDER -REPAIR", true}}) {
        SCOPED_TRACE(c.pszName);
        fs::remove(m_folder / ACCEPTED_RECORD_NAME);
        Publish("201=base.zip;base\n");
        test::WriteWholeFile(m_server / FILE_SUMS_NAME, "");
        test::WriteWholeFile(m_server / FILE_ENTRIES_NAME, "");
        publisher.SignSet(m_server, names, 2000);
        if (!c.bReplaced) Publish("201=base.zip;tampered\n");
        int nSeen = 0;
        m_fetcher.onOpen = [&](const std::string& url) {
            if (!url.ends_with(c.pszSwappedAt) || ++nSeen != 1 || !c.bReplaced) return;
            for (const fs::path& file : fs::directory_iterator(next)) {
                fs::remove(m_server /
                           file.filename());  // (copy_file does not overwrite under Wine)
                fs::copy_file(file, m_server / file.filename());
            }
        };
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.SetPublicKey(publisher.PublicKeyLine());
        m_run.Run(c.pszCommand);
        EXPECT_EQ(nSeen, 2);
        // One more look, whether or not it finds a whole set.
        EXPECT_EQ(std::count(m_clock.pauses.begin(), m_clock.pauses.end(), 2000u), 1);
        m_clock.pauses.clear();
        EXPECT_EQ(view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-6"),
                  !c.bReplaced);
        EXPECT_EQ(*ReadAcceptedTimestamp(test::OpenFolder(Folder())), c.bReplaced ? 2001u : 0u);
    }
}

// A delta is fetched only when the signed list names it, and then in place of its archive.
TEST_F(UpdateRunFlowTest, OnlyASignedListLeadsToADelta) {
    const test::TestPublisher publisher;
    InstallStandIn("cw.exe");
    fs::create_directories(m_folder / "bin");
    const auto delta = [&](const std::string& name) {
        return std::any_of(m_fetcher.requests.begin(), m_fetcher.requests.end(),
                           [&](const std::string& url) { return url.ends_with("/" + name); });
    };
    // The third time the server lacks the delta its list names (a mirror not yet
    // in step): the full archive is fetched.
    for (const auto& [bSigned, bDeltaServed] :
         {std::pair{false, true}, std::pair{true, true}, std::pair{true, false}}) {
        SCOPED_TRACE(bSigned ? (bDeltaServed ? "signed" : "signed, delta missing") : "unsigned");
        m_fetcher.requests.clear();
        m_view.calls.clear();
        fs::remove(m_folder / "new.txt");
        for (const auto& [base, installed] : {std::pair{"delta-base.dat", "game.dat"},
                                              std::pair{"delta-prog-base.dat", "prog.bin"}}) {
            fs::remove(m_folder / "bin" / installed);
            fs::copy_file(test::TestArchive(base), m_folder / "bin" / installed);
        }
        PublishArchive("delta.zip", "deflated.zip");
        test::WriteWholeFile(m_server / "delta.zip.delta", test::TestDelta());
        Publish("201=delta.zip;d\n");
        publisher.SignSet(m_server, {"patch_info.txt", "delta.zip", "delta.zip.delta"}, 2000);
        if (!bDeltaServed) fs::remove(m_server / "delta.zip.delta");
        fs::remove(m_folder / ACCEPTED_RECORD_NAME);
        m_run.SetPublicKey(bSigned ? publisher.PublicKeyLine() : "");
        m_run.Run("-THIS_FOLDER");
        const bool bThroughDelta = bSigned && bDeltaServed;
        EXPECT_EQ(delta("delta.zip.delta"), bSigned);
        EXPECT_EQ(delta("delta.zip"), !bThroughDelta);
        EXPECT_EQ(fs::exists(m_folder / "new.txt"), bThroughDelta);
        EXPECT_EQ(fs::exists(m_folder / "alpha.txt"), !bThroughDelta);
        const std::vector<std::string> notes = m_view.Of("note ");
        EXPECT_EQ(notes.size(), bDeltaServed ? 0u : 1u);
        if (!bDeltaServed && !notes.empty()) {
            EXPECT_TRUE(notes[0].ends_with("(HTTP 404); delta.zip is fetched whole")) << notes[0];
        }
        EXPECT_EQ(test::ReadWholeFile(m_folder / "bin" / "game.dat") ==
                      test::ReadWholeFile(test::TestArchive("delta-result.dat")),
                  bThroughDelta);
        fs::remove(m_folder / "alpha.txt");
    }
}

// A record that cannot be read, or a set that cannot be recorded, installs nothing.
TEST_F(UpdateRunFlowTest, TheRollbackGuardFailsClosed) {
    const test::TestPublisher publisher;
    const fs::path record = m_folder / ACCEPTED_RECORD_NAME;
    const std::vector<std::pair<const char*, std::function<void()>>> cases{
        {"garbage record", [&] { test::WriteWholeFile(record, "12 older\n"); }},
        {"empty record", [&] { test::WriteWholeFile(record, ""); }},
        {"a folder in its place", [&] { fs::create_directories(record / "x"); }},
    };
    InstallStandIn("cw.exe");
    for (const auto& [pszName, plant] : cases) {
        SCOPED_TRACE(pszName);
        fs::remove_all(record);
        plant();
        PublishArchive("base.zip", "deflated.zip");
        Publish("201=base.zip;base\n");
        publisher.SignSet(m_server, {"patch_info.txt", "base.zip"}, 2000);
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.SetPublicKey(publisher.PublicKeyLine());
        m_run.Run("-THIS_FOLDER");
        EXPECT_TRUE(view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-6"));
        EXPECT_FALSE(fs::exists(m_folder / "alpha.txt"));
        EXPECT_FALSE(fs::exists(m_folder / STAGING_FOLDER_NAME));
        const Expected<uint64_t> accepted = ReadAcceptedTimestamp(test::OpenFolder(Folder()));
        ASSERT_FALSE(accepted);
        EXPECT_NE(accepted.GetFailure().what.find(ACCEPTED_RECORD_NAME), std::string::npos);
        EXPECT_TRUE(view.Has("why " + accepted.GetFailure().Text()));
    }
}

// A repair needs the signed list and the updater's own folder; without them it
// ends before anything is fetched, with its cause.
TEST_F(UpdateRunFlowTest, ARepairWithoutAKeyOrAFolderIsRefused) {
    const test::TestPublisher publisher;
    InstallStandIn("cw.exe");
    for (const auto& [pszCommand, bKey, pszCause] :
         {std::tuple{"-THIS_FOLDER -REPAIR", false, "without the publisher's key"},
          std::tuple{"-REPAIR", true, "give -THIS_FOLDER too"}}) {
        SCOPED_TRACE(pszCommand);
        m_fetcher.requests.clear();
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.SetPublicKey(bKey ? publisher.PublicKeyLine() : "");
        m_run.Run(pszCommand);
        EXPECT_EQ(m_run.GetOutcome(), RunOutcome::FAILED);
        EXPECT_TRUE(m_fetcher.requests.empty());
        const std::vector<std::string> why = view.Of("why ");
        ASSERT_EQ(why.size(), 1u);
        EXPECT_NE(why[0].find(pszCause), std::string::npos) << why[0];
    }
}

// A body too large to hold is streamed to the disk: a break goes on from where
// it stopped (from the server's part, or from nothing when it sends the whole
// body), what a run kept is taken up by the next unless the server's copy
// changed, and a body the disk cannot take is refused before its first byte.
TEST_F(UpdateRunFlowTest, ABodyTooLargeToHoldIsStreamedAndResumed) {
    InstallStandIn("cw.exe");
    std::string pack(600000, '\0');
    std::mt19937 random(31);
    for (char& c : pack) c = static_cast<char>(random());
    ZipWriter zip;
    ASSERT_TRUE(zip.Create((m_server / "big.zip").string()));
    ASSERT_TRUE(zip.AddData("data/pack.dat", pack, DosDateOf(1700000000), 0644));
    ASSERT_TRUE(zip.Close());
    Publish("201=big.zip;big\n");
    m_fetcher.nMemoryLimit = 65536;
    m_fetcher.nCutAfter = 100000;
    const fs::path downloads = m_folder / DOWNLOADS_FOLDER_NAME;
    const auto keptBytes = [&]() -> uint64_t {
        if (!fs::is_directory(downloads)) return 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(downloads)) {
            if (entry.path().extension() == ".part") return entry.file_size();
        }
        return 0;
    };
    struct Case {
        const char* pszName;
        bool bRanges;
        int nCuts;
        const char* pszValidator;
        uint64_t nClaimed;
        std::vector<uint64_t> ranges;
        uint64_t nKeptAfter;  // what the downloads folder keeps: 0 when installed
    };
    const std::vector<Case> cases{
        {"a break, resumed", true, 1, "\"v1\"", 0, {0, 100000}, 0},
        {"ranges not served", false, 1, "\"v1\"", 0, {0, 0}, 0},
        {"breaking on", true, 4, "\"v1\"", 0, {0, 100000, 200000, 300000}, 400000},
        {"taken up by the next run", true, 0, "\"v1\"", 0, {400000}, 0},
        {"breaking on again", true, 4, "\"v1\"", 0, {0, 100000, 200000, 300000}, 400000},
        {"changed on the server meanwhile", true, 0, "\"v2\"", 0, {0}, 0},
        {"more than the disk holds", true, 0, "\"v2\"", uint64_t{1} << 60, {0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        fs::remove_all(m_folder / "data");
        m_fetcher.ranges.clear();
        m_fetcher.bRanges = c.bRanges;
        m_fetcher.nCuts = c.nCuts;
        m_fetcher.validator = c.pszValidator;
        m_fetcher.nClaimedTotal = c.nClaimed;
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.Run("-THIS_FOLDER");
        EXPECT_EQ(m_fetcher.ranges, c.ranges);
        EXPECT_EQ(keptBytes(), c.nKeptAfter);
        const bool bInstalled = c.nKeptAfter == 0 && c.nClaimed == 0;
        if (bInstalled) {
            EXPECT_EQ(test::ReadWholeFile(m_folder / "data" / "pack.dat"), pack);
            EXPECT_FALSE(fs::exists(downloads));
            EXPECT_EQ(view.Of("note ").size(), static_cast<std::size_t>(c.nCuts));
        } else if (c.nClaimed != 0) {
            EXPECT_TRUE(
                view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-5"));
            const std::vector<std::string> why = view.Of("why ");
            ASSERT_EQ(why.size(), 1u);
            EXPECT_NE(why[0].find("big.zip needs 1152921504606846976 bytes, "), std::string::npos)
                << why[0];
        } else {
            EXPECT_TRUE(view.Has("status " + T(IDS_SERVER_UNREACHABLE)));
        }
    }
    // A signed body kept is taken up from a later set's folder: the same signed
    // file under another URL.
    const test::TestPublisher publisher;
    m_run.SetView(&m_view);
    m_run.SetPublicKey(publisher.PublicKeyLine());
    m_fetcher.nClaimedTotal = 0;
    for (const char* pszSet : {"20261209T120000Z", "20261209T130000Z"}) {
        SCOPED_TRACE(pszSet);
        test::WriteWholeFile(m_server / SET_POINTER_NAME, std::string(pszSet) + "\n");
        publisher.SignSet(m_server, {"patch_info.txt", "big.zip", SET_POINTER_NAME}, 2000);
        m_fetcher.ranges.clear();
        m_fetcher.nCuts = pszSet[10] == '2' ? 4 : 0;
        m_run.Run("-THIS_FOLDER");
        const std::vector<uint64_t> expected =
            pszSet[10] == '2' ? std::vector<uint64_t>{0, 100000, 200000, 300000}
                              : std::vector<uint64_t>{400000};
        EXPECT_EQ(m_fetcher.ranges, expected);
    }
    EXPECT_EQ(test::ReadWholeFile(m_folder / "data" / "pack.dat"), pack);
}

// A signed set is installed whole in one run; an unsigned one takes the first
// hundred entries it selects, as it always has. With connections of its own a
// signed set's files (its delta among them) are fetched ahead while the run
// installs, each once; a cancel keeps what they fetched, and the next run takes
// it up.
TEST_F(UpdateRunFlowTest, ASignedSetInstallsEveryEntryItSelects) {
    const test::TestPublisher publisher;
    InstallStandIn("cw.exe");
    fs::create_directories(m_folder / "bin");
    std::string manifest = "200=delta.zip;d\n";
    std::vector<std::string> names{"patch_info.txt", "delta.zip", "delta.zip.delta"};
    PublishArchive("delta.zip", "deflated.zip");
    test::WriteWholeFile(m_server / "delta.zip.delta", test::TestDelta());
    for (int i = 0; i < 120; ++i) {
        names.push_back("part" + std::to_string(i) + ".zip");
        PublishArchive(names.back(), "deflated.zip");
        manifest += std::to_string(201 + i) + "=" + names.back() + ";p\n";
    }
    Publish(manifest);
    publisher.SignSet(m_server, names, 2000);
    std::mutex mutex;
    std::vector<std::string> requests;  // every connection's
    m_fetcher.onOpen = [&](const std::string& url) {
        const std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(url);
    };
    const auto fetched = [&](const std::string& name) {
        return std::count_if(requests.begin(), requests.end(),
                             [&](const std::string& url) { return url.ends_with("/" + name); });
    };
    UpdateRun resumed;
    resumed.SetFetcher(&m_fetcher);
    resumed.SetClock(&m_clock);
    resumed.SetOwnFolder(Folder());
    struct Case {
        const char* pszName;
        bool bSigned;
        bool bConnections;
        bool bCancel;  // at the fifth entry
        bool bResume;  // in the folder the cancelled run left, after its fifth entry
    };
    for (const Case& c :
         {Case{"unsigned", false, false, false, false}, Case{"signed", true, false, false, false},
          Case{"cancelled", true, true, true, false}, Case{"resumed", true, true, false, true}}) {
        SCOPED_TRACE(c.pszName);
        requests.clear();
        m_fetcher.requests.clear();
        m_clock.onPause = [&](uint32_t dwMs) {
            if (dwMs == 50 && c.bResume) resumed.DeliverClientVersion(204);  // the client's answer
        };
        if (!c.bResume) {
            fs::remove(m_folder / ACCEPTED_RECORD_NAME);
            for (const auto& [base, installed] : {std::pair{"delta-base.dat", "game.dat"},
                                                  std::pair{"delta-prog-base.dat", "prog.bin"}}) {
                fs::remove(m_folder / "bin" / installed);
                fs::copy_file(test::TestArchive(base), m_folder / "bin" / installed);
            }
        }
        test::RecordingView view;
        view.onCall = [&](const std::string& call) {
            if (c.bCancel && call == "status [p] " + T(IDS_INSTALLED) + " (5/122)") m_run.Cancel();
        };
        UpdateRun& run = c.bResume ? resumed : m_run;  // a cancelled run stays cancelled
        run.SetView(&view);
        run.SetPublicKey(c.bSigned ? publisher.PublicKeyLine() : "");
        run.SetFetcherSource(c.bConnections ? FetcherSource([&] {
            auto fetcher = std::make_unique<test::FolderFetcher>(m_server);
            fetcher->onOpen = m_fetcher.onOpen;
            return fetcher;
        })
                                            : FetcherSource());
        run.Run("-THIS_FOLDER");
        if (c.bCancel) {
            EXPECT_TRUE(
                view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-3"));
            // What the connections had in hand is kept for the next run, and nothing else.
            std::size_t nKept = 0;
            for (const fs::directory_entry& entry :
                 fs::directory_iterator(m_folder / DOWNLOADS_FOLDER_NAME)) {
                const fs::path extension = entry.path().extension();
                EXPECT_TRUE(extension == ".part" || extension == ".info") << entry.path();
                nKept += extension == ".part";
            }
            EXPECT_LE(nKept, PREFETCH_AHEAD);
            continue;
        }
        const int nFirst = c.bResume ? 4 : 0;  // the parts this run installs
        const int nLast = c.bSigned ? 119 : 98;
        EXPECT_FALSE(fs::exists(m_folder / DOWNLOADS_FOLDER_NAME));
        EXPECT_EQ(fetched("delta.zip.delta"), c.bSigned && !c.bResume ? 1 : 0);
        EXPECT_EQ(fetched("delta.zip"), c.bSigned ? 0 : 1);
        for (int i = 0; i <= nLast; ++i) {
            EXPECT_EQ(fetched("part" + std::to_string(i) + ".zip"), i >= nFirst ? 1 : 0) << i;
        }
        // The connections fetched the files (the run fetches one itself only
        // when it comes to it before any connection has begun it).
        if (c.bConnections) {
            EXPECT_LT(std::count_if(m_fetcher.requests.begin(), m_fetcher.requests.end(),
                                    [](const std::string& url) { return url.ends_with(".zip"); }),
                      (nLast - nFirst) / 2);
        }
        EXPECT_EQ(test::ReadWholeFile(m_folder / "bin" / "game.dat"),
                  test::ReadWholeFile(
                      test::TestArchive(c.bSigned ? "delta-result.dat" : "delta-base.dat")));
        const int nEntries = (c.bResume ? 0 : 1) + nLast - nFirst + 1;
        EXPECT_TRUE(view.Has("range " + std::to_string(UNITS_PER_ENTRY * nEntries)));
        EXPECT_TRUE(view.Has("status [p] " + T(IDS_INSTALLED) + " (" + std::to_string(nEntries) +
                             "/" + std::to_string(nEntries + 1) + ")"));
    }
    m_fetcher.onOpen = nullptr;
    m_clock.onPause = nullptr;
}

// The set's mirrors stand in for hosts whose answers fail, each checked against
// the signed list: a host that is down, one that stalls and one that serves
// other bytes are left for the rest of the run, and the run ends right through
// the next; when the last one fails too, its failure ends the run.
TEST_F(UpdateRunFlowTest, TheSetsMirrorsStandInForHostsThatFail) {
    const test::TestPublisher publisher;
    InstallStandIn("cw.exe");
    PublishArchive("base.zip", "deflated.zip");
    PublishArchive("sound.zip", "folders.zip");
    Publish("201=base.zip;base\n202=sound.zip;sound\n");
    test::SetEnv("CORVANA_PATCH_HOST", "patch.test");
    const std::string primary = "http://patch.test/web_patch/corvana/";
    struct Case {
        const char* pszName;
        const char* pszMirrors;
        std::vector<std::string> fetched;  // the archives' URLs, in order
    };
    const std::string good = "https://good.test/cdn/web_patch/corvana/";
    const std::string wrong = "http://wrong.test/web_patch/corvana/";
    for (const Case& c : {
             Case{"down, stalled, wrong, good",
                  "down.test\n# a comment\nnot a host\nstall.test:8080\nhttp://wrong.test/\n"
                  "https://good.test/cdn\n",
                  {primary + "base.zip", "http://down.test/web_patch/corvana/base.zip",
                   "http://stall.test:8080/web_patch/corvana/base.zip", wrong + "base.zip",
                   good + "base.zip", good + "sound.zip"}},
             Case{"only wrong bytes", "wrong.test\n", {primary + "base.zip", wrong + "base.zip"}},
         }) {
        for (const bool bConnections : {false, true}) {
            SCOPED_TRACE(std::string(c.pszName) + (bConnections ? ", with connections" : ""));
            for (const char* name : {"alpha.txt", "cw.log", ACCEPTED_RECORD_NAME}) {
                fs::remove(m_folder / name);
            }
            test::WriteWholeFile(m_server / MIRRORS_NAME, c.pszMirrors);
            publisher.SignSet(m_server, {"patch_info.txt", "base.zip", "sound.zip", MIRRORS_NAME},
                              2000);
            m_fetcher.hostFaults = {{primary + "base.zip", DownloadFailure::HTTP_STATUS},
                                    {"http://down.test/", DownloadFailure::OPEN_FAILED},
                                    {"http://stall.test:8080/", DownloadFailure::TIMED_OUT},
                                    {wrong, DownloadFailure::NONE}};
            m_fetcher.requests.clear();
            test::RecordingView view;
            m_run.SetView(&view);
            m_run.SetPublicKey(publisher.PublicKeyLine());
            // The connections leave the hosts that fail as the run does; which of
            // them fetches what is theirs to share.
            std::mutex mutex;
            int nFromPrimary = 0;  // base.zip asked of the host that lacks it, by any connection
            m_fetcher.onOpen = [&](const std::string& url) {
                const std::lock_guard<std::mutex> lock(mutex);
                nFromPrimary += url == primary + "base.zip";
            };
            m_run.SetFetcherSource(bConnections ? FetcherSource([&] {
                auto fetcher = std::make_unique<test::FolderFetcher>(m_server);
                fetcher->hostFaults = m_fetcher.hostFaults;
                fetcher->onOpen = m_fetcher.onOpen;
                return fetcher;
            })
                                                : FetcherSource());
            m_run.Run("-THIS_FOLDER");
            EXPECT_EQ(nFromPrimary, 1);
            std::vector<std::string> fetched;
            std::copy_if(m_fetcher.requests.begin(), m_fetcher.requests.end(),
                         std::back_inserter(fetched),
                         [](const std::string& url) { return url.ends_with(".zip"); });
            if (!bConnections) {
                EXPECT_EQ(fetched, c.fetched);
            }
            const bool bInstalled = c.fetched.back() == good + "sound.zip";
            EXPECT_EQ(fs::exists(m_folder / "alpha.txt"), bInstalled);
            EXPECT_EQ(view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-6"),
                      !bInstalled);
            EXPECT_EQ(
                view.Has("note base.zip: SHA-256 differs from SHA256SUMS; base.zip is fetched "
                         "from " +
                         good),
                bInstalled);
        }
    }
    m_run.SetFetcherSource(FetcherSource());
    m_fetcher.onOpen = nullptr;
    m_fetcher.hostFaults.clear();
    test::SetEnv("CORVANA_PATCH_HOST", nullptr);
}

// A set's one large archive (17 MiB) is fetched in parts by the connections
// that have nothing else to fetch. What a part that breaks, or is answered whole, did not bring
// is fetched by the transfer before it; the bar never goes back; a cancel
// leaves nothing but what a resume takes up.
TEST_F(UpdateRunFlowTest, ALargeArchiveIsFetchedInPartsByIdleConnections) {
    const test::TestPublisher publisher;
    InstallStandIn("cw.exe");
    std::string pack(SHARE_MIN_BYTES + (std::size_t{1} << 20), '\0');
    std::mt19937_64 random(7);
    for (std::size_t i = 0; i < pack.size(); i += sizeof(uint64_t)) {
        const uint64_t nValue = random();
        std::memcpy(pack.data() + i, &nValue, sizeof nValue);
    }
    ZipWriter zip;
    ASSERT_TRUE(zip.Create((m_server / "big.zip").string()));
    ASSERT_TRUE(zip.AddData("data/pack.dat", pack, DosDateOf(1700000000), 0644));
    ASSERT_TRUE(zip.Close());
    Publish("201=big.zip;big\n");
    publisher.SignSet(m_server, {"patch_info.txt", "big.zip"}, 2000);
    m_run.SetPublicKey(publisher.PublicKeyLine());
    enum class Fault { NONE, PARTS_BREAK, PARTS_ANSWERED_WHOLE, CANCEL };
    for (const auto& [pszName, fault] :
         {std::pair{"parts", Fault::NONE}, std::pair{"parts that break", Fault::PARTS_BREAK},
          std::pair{"parts answered whole", Fault::PARTS_ANSWERED_WHOLE},
          std::pair{"cancelled", Fault::CANCEL}}) {
        SCOPED_TRACE(pszName);
        fs::remove_all(m_folder / "data");
        fs::remove_all(m_folder / DOWNLOADS_FOLDER_NAME);
        fs::remove(m_folder / ACCEPTED_RECORD_NAME);
        std::mutex mutex;
        std::condition_variable changed;
        int nParts = 0;
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.SetFetcherSource(FetcherSource([&] {
            auto fetcher = std::make_unique<test::FolderFetcher>(m_server);
            fetcher->nChunk = 65536;
            test::FolderFetcher* pFetcher = fetcher.get();
            fetcher->onStream = [&, pFetcher](const std::string& url, const RangeRequest& range) {
                if (!url.ends_with("/big.zip") || range.nTo == 0) return;
                {
                    const std::lock_guard<std::mutex> lock(mutex);
                    ++nParts;
                }
                changed.notify_all();
                pFetcher->nCuts = fault == Fault::PARTS_BREAK ? 1 : 0;
                pFetcher->nCutAfter = 1000;
                pFetcher->bRanges = fault != Fault::PARTS_ANSWERED_WHOLE;
            };
            // The transfer from the start goes on once another has begun a part.
            fetcher->onChunk = [&](const std::string& url, uint64_t nAt) {
                if (!url.ends_with("/big.zip") || nAt != 0) return;
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait_for(lock, std::chrono::seconds(10), [&] { return nParts > 0; });
                if (fault == Fault::CANCEL) m_run.Cancel();
            };
            return fetcher;
        }));
        m_fetcher.requests.clear();
        m_run.Run("-THIS_FOLDER");
        m_run.SetFetcherSource(FetcherSource());
        EXPECT_GT(nParts, 0);
        if (fault == Fault::CANCEL) {
            for (const fs::directory_entry& entry :
                 fs::directory_iterator(m_folder / DOWNLOADS_FOLDER_NAME)) {
                const fs::path extension = entry.path().extension();
                EXPECT_TRUE(extension == ".part" || extension == ".info") << entry.path();
            }
            continue;
        }
        EXPECT_EQ(test::ReadWholeFile(m_folder / "data" / "pack.dat"), pack);
        EXPECT_FALSE(fs::exists(m_folder / DOWNLOADS_FOLDER_NAME));
        // The parts made the signed archive: the run did not fetch it again.
        EXPECT_EQ(std::count_if(m_fetcher.requests.begin(), m_fetcher.requests.end(),
                                [](const std::string& url) { return url.ends_with("/big.zip"); }),
                  0);
        int nLast = 0;
        for (const std::string& units : view.Of("progress ")) {
            EXPECT_GE(std::stoi(units), nLast);
            nLast = std::stoi(units);
        }
        // "RECEIVED / TOTAL bytes", the numbers in the system's format.
        const auto number = [](std::string text) {
            std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
            return text.empty() ? 0 : std::stoull(text);
        };
        for (const std::string& size : view.Of("size ")) {
            const std::size_t nSlash = size.find('/');
            if (nSlash == std::string::npos) continue;
            EXPECT_LE(number(size.substr(0, nSlash)), number(size.substr(nSlash))) << size;
        }
    }
}

// A signed set whose index says the update cannot fit the disk is refused
// before anything of it is fetched; one that fits only an archive at a time is
// fetched so, without files fetched ahead.
TEST_F(UpdateRunFlowTest, AnUpdateTheDiskCannotHoldIsRefusedFirst) {
    const test::TestPublisher publisher;
    InstallStandIn("cw.exe");
    std::string manifest;
    std::vector<std::string> names{"patch_info.txt", FILE_SUMS_NAME, FILE_ENTRIES_NAME};
    for (const char* pszName : {"a.zip", "b.zip", "c.zip"}) {
        PublishArchive(pszName, "deflated.zip");
        manifest += std::to_string(201 + names.size()) + "=" + pszName + ";p\n";
        names.emplace_back(pszName);
    }
    Publish(manifest);
    const uint64_t nFree = fs::space(m_folder).available;
    struct Case {
        const char* pszName;
        uint64_t nA, nB;  // what the index says a.zip's file and each of the others' take
        bool bInstalls;
        bool bAhead;
    };
    for (const Case& c :
         {Case{"too large", uint64_t{1} << 60, 1000, false, false},
          Case{"an archive at a time", nFree / 100 * 45, nFree / 100 * 6, true, false},
          Case{"with files ahead", 1000, 1000, true, true}}) {
        SCOPED_TRACE(c.pszName);
        std::string sums;
        std::string entries;
        for (const char* pszName : {"a", "b", "c"}) {
            sums += Sha256Hex("x") + "  " + pszName + ".dat\n";
            entries += std::to_string(204 + (pszName[0] - 'a')) + "\t" + pszName + ".zip\t" +
                       std::to_string(pszName[0] == 'a' ? c.nA : c.nB) + "\t" + pszName + ".dat\n";
        }
        test::WriteWholeFile(m_server / FILE_SUMS_NAME, sums);
        test::WriteWholeFile(m_server / FILE_ENTRIES_NAME, entries);
        publisher.SignSet(m_server, names, 2000);
        fs::remove(m_folder / ACCEPTED_RECORD_NAME);
        m_fetcher.requests.clear();
        test::RecordingView view;
        m_run.SetView(&view);
        m_run.SetPublicKey(publisher.PublicKeyLine());
        int nConnections = 0;
        m_run.SetFetcherSource([&] {
            ++nConnections;
            return std::make_unique<test::FolderFetcher>(m_server);
        });
        m_run.Run("-THIS_FOLDER");
        EXPECT_EQ(nConnections > 0, c.bAhead);
        EXPECT_EQ(view.Has("status [p] " + T(IDS_INSTALLED) + " (3/4)"), c.bInstalls);
        if (c.bInstalls) continue;
        EXPECT_TRUE(view.Has("box " + T(IDS_ERROR_CAPTION) + "|" + T(IDS_ERROR_CODE) + " : #-5"));
        const std::vector<std::string> why = view.Of("why ");
        ASSERT_EQ(why.size(), 1u);
        EXPECT_TRUE(why[0].starts_with("the update needs 2305843009213693952 bytes, ")) << why[0];
        EXPECT_TRUE(std::none_of(m_fetcher.requests.begin(), m_fetcher.requests.end(),
                                 [](const std::string& url) { return url.ends_with(".zip"); }));
    }
    m_run.SetFetcherSource(FetcherSource());
}

}  // namespace
}  // namespace corvana
