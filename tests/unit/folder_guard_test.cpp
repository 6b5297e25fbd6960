#include "install/folder_guard.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "install/install_step.h"
#include "install/transaction.h"
#include "platform/files.h"
#include "support/test_env.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvana {
namespace {

namespace fs = std::filesystem;

TEST(FolderGuard, OurNamesAreReservedInAnyCase) {
    // A staging folder may lie at the top of a folder on another disk: its name
    // is ours at any depth.
    for (const char* name :
         {".corvana-staging", ".CORVANA-STAGING/sub/y.dat", ".corvana-staging\\y.dat",
          "sub/.corvana-staging/y.dat", "data/.Corvana-Staging", "corvana-signed-set.txt",
          "Corvana-Signed-Set.TXT", "corvana-signed-set.txt/x"}) {
        EXPECT_TRUE(IsReservedName(name)) << name;
    }
    for (const char* name : {".corvana-staging2", "sub/x.corvana-staging", "corvana-signed-set",
                             "corvana-signed-set.txt.bak", "data/corvana-signed-set.txt"}) {
        EXPECT_FALSE(IsReservedName(name)) << name;
    }
#ifdef _WIN32
    EXPECT_TRUE(IsReservedName(".corvana-staging. \\y.dat"));  // the system drops the tail
#endif
}

class FolderGuardTest : public ::testing::Test {
protected:
    std::string Folder() const {
        return m_temp.Path().string() + static_cast<char>(fs::path::preferred_separator);
    }
    fs::path Staging() const { return m_temp.Path() / STAGING_FOLDER_NAME; }

    InstallOutcome Install(const char* pszArchive, const char* pszName = "patch.zip") {
        return InstallFile(test::OpenFolder(Folder()), pszName,
                           test::ReadWholeFile(test::TestArchive(pszArchive)), [](InstallStage) {});
    }

    test::TempDir m_temp;
};

// Our own names inside an archive are refused before anything of it is written;
// whatever sits in the staging folder never stops the next install.
TEST_F(FolderGuardTest, ReservedItemsAreRefusedAndStagingLeftoversNeverWedge) {
    for (const char* archive : {"reserved-staging.zip", "reserved-record.zip"}) {
        const InstallOutcome outcome = Install(archive);
        EXPECT_EQ(outcome.result, InstallResult::UNSAFE) << archive;
        EXPECT_FALSE(fs::exists(m_temp.Path() / "good.txt")) << archive;
        EXPECT_NE(outcome.failure.Text().find("a name the updater keeps"), std::string::npos);
    }
    EXPECT_EQ(Install("deflated.zip", ".corvana-staging").result, InstallResult::UNSAFE);
    fs::create_directories(Staging() / "sub" / "deeper");
    test::WriteWholeFile(Staging() / "sub" / "deeper" / "y.dat", "left\n");
    EXPECT_EQ(Install("deflated.zip").result, InstallResult::INSTALLED);
    EXPECT_EQ(test::ReadWholeFile(m_temp.Path() / "alpha.txt"), "alpha\n");
    EXPECT_FALSE(fs::exists(Staging()));
}

// Records that name places outside the folder are discarded, each with a line.
TEST_F(FolderGuardTest, RepairDiscardsRecordsThatLeaveTheFolder) {
    test::TempDir outside;
    const fs::path victim = outside.Path() / "victim.txt";
    struct Case {
        const char* pszName;
        std::string journal;   // written when not empty
        std::string download;  // written when not empty
    };
    const std::string part = "part1";
    const std::vector<Case> cases{
        {"journal with ..",
         part + '\0' + "../" + outside.Path().filename().string() + "/victim.txt" + '\0', ""},
        {"journal with an absolute target", part + '\0' + victim.string() + '\0', ""},
        {"journal with a staged file elsewhere", victim.string() + '\0' + "a.txt" + '\0', ""},
        {"incomplete journal", part + '\0' + "a.txt", ""},
        {"download record outside", "", victim.string()},
        {"download record with ..", "", "../victim.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        test::WriteWholeFile(victim, "keep\n");
        test::WriteWholeFile(m_temp.Path() / "a.txt", "old\n");
        fs::create_directories(Staging());
        test::WriteWholeFile(Staging() / part, "staged\n");
        if (!c.journal.empty()) test::WriteWholeFile(Staging() / "journal", c.journal);
        if (!c.download.empty()) test::WriteWholeFile(Staging() / "download", c.download);
        const std::vector<std::string> notes = RecoverInstallFolder(test::OpenFolder(Folder()));
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find("discarded"), std::string::npos) << notes[0];
        EXPECT_EQ(test::ReadWholeFile(victim), "keep\n");
        EXPECT_EQ(test::ReadWholeFile(m_temp.Path() / "a.txt"), "old\n");
        EXPECT_FALSE(fs::exists(Staging()));
    }
}

#ifndef _WIN32
// A link the player made is followed; one another user planted is not crossed.
TEST_F(FolderGuardTest, ItemsCrossOnlyLinksOfTheUserOrRoot) {
    test::TempDir elsewhere;
    fs::create_directory_symlink(elsewhere.Path(), m_temp.Path() / "data");
    EXPECT_TRUE(CheckPlace(test::OpenFolder(Folder()), "data/x.dat"));
    EXPECT_EQ(Install("data-item.zip").result, InstallResult::INSTALLED);
    EXPECT_EQ(test::ReadWholeFile(elsewhere.Path() / "x.dat"), "x\n");
    if (geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to plant";
    fs::remove(elsewhere.Path() / "x.dat");
    ASSERT_EQ(lchown((m_temp.Path() / "data").c_str(), 65534, 65534), 0);
    fs::remove(m_temp.Path() / "good.txt");
    const Result crossing = CheckPlace(test::OpenFolder(Folder()), "data/x.dat");
    ASSERT_FALSE(crossing);
    EXPECT_EQ(crossing.GetFailure().why, "a link made by another user is on the way");
    EXPECT_TRUE(CheckPlace(test::OpenFolder(Folder()),
                           "data"));  // the last component is replaced, not followed
    EXPECT_EQ(Install("data-item.zip").result, InstallResult::UNSAFE);
    EXPECT_FALSE(fs::exists(elsewhere.Path() / "x.dat"));
    EXPECT_FALSE(fs::exists(m_temp.Path() / "good.txt"));  // nothing of the archive moved
    // A journal through that link is discarded.
    fs::create_directories(Staging());
    test::WriteWholeFile(Staging() / "part1", "staged\n");
    test::WriteWholeFile(Staging() / "journal", std::string("part1") + '\0' + "data/x.dat" + '\0');
    EXPECT_EQ(RecoverInstallFolder(test::OpenFolder(Folder())).size(), 1u);
    EXPECT_FALSE(fs::exists(elsewhere.Path() / "x.dat"));
}
#endif

TEST_F(FolderGuardTest, AcceptedRecordIsReadStrictly) {
    EXPECT_EQ(*ReadAcceptedTimestamp(test::OpenFolder(Folder())),
              0u);  // no record: nothing accepted yet
    const Result stored = StoreAcceptedTimestamp(test::OpenFolder(Folder()), 1765000000);
    ASSERT_TRUE(stored) << stored.GetFailure().Text();
    EXPECT_EQ(*ReadAcceptedTimestamp(test::OpenFolder(Folder())), 1765000000u);
    EXPECT_FALSE(fs::exists(Staging()));
    const fs::path record = m_temp.Path() / ACCEPTED_RECORD_NAME;
    for (const char* text : {"", "\n", "12x\n", "1 2\n", "-5\n", "99999999999999999999999\n"}) {
        test::WriteWholeFile(record, text);
        const Expected<uint64_t> accepted = ReadAcceptedTimestamp(test::OpenFolder(Folder()));
        ASSERT_FALSE(accepted) << text;
        EXPECT_EQ(accepted.GetFailure().what, record.string());
    }
    test::WriteWholeFile(record, "  42\r\n");
    EXPECT_EQ(*ReadAcceptedTimestamp(test::OpenFolder(Folder())), 42u);
}

}  // namespace
}  // namespace corvana
