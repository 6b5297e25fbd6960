#include "archive/delta.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "install/folder_guard.h"
#include "install/install_step.h"
#include "support/test_env.h"

namespace corvana {
namespace {

namespace fs = std::filesystem;

TEST(DeltaIndex, TakesItsFormatAndNothingElse) {
    const std::string sha(64, 'a');
    const std::string head = "corvana-delta 1\n";
    const std::string same = "same\t4\t" + sha + "\t4\t" + sha + "\tbin/a b.txt\n";
    const Expected<std::vector<DeltaItem>> index = ReadDeltaIndex(head + same);
    ASSERT_TRUE(index);
    ASSERT_EQ((*index).size(), 1u);
    EXPECT_EQ((*index)[0].name, "bin/a b.txt");
    EXPECT_EQ((*index)[0].method, DeltaMethod::SAME);
    for (const std::string& bad : {
             std::string(),
             "corvana-delta 2\n" + same,
             head + same.substr(0, same.size() - 1),                // the last line cut
             head + same + same,                                    // a name twice
             head + "zstd\t-\t-\t4\t" + sha + "\ta\n",              // a patch without a base
             head + "whole\t-\t-\t999999999999\t" + sha + "\ta\n",  // above the limit
             head + "same\t4\t" + sha + "\t5\t" + sha + "\ta\n",    // "same" that differs
             head + "whole\t-\t-\t4\t" + std::string(64, 'A') + "\ta\n",
             head + "whole\t-\t-\t4\t" + sha + "\ta\x01" + "b\n",
             head + "whole\t-\t-\t4\t" + sha + "\tfolder/\n",
             head + "copy\t-\t-\t4\t" + sha + "\ta\n",
         }) {
        EXPECT_FALSE(ReadDeltaIndex(bad)) << bad;
    }
}

// A delta installs what it names only on the base it was made from, all or nothing.
TEST(DeltaInstall, RebuildsFromTheFolderOrChangesNothing) {
    const std::string base = test::ReadWholeFile(test::TestArchive("delta-base.dat"));
    const std::string result = test::ReadWholeFile(test::TestArchive("delta-result.dat"));
    struct Case {
        const char* pszDelta;
        bool bBaseChanged;
        InstallResult expected;
    };
    for (const Case& c : {Case{"delta.zip", false, InstallResult::INSTALLED},
                          Case{"delta.zip", true, InstallResult::DELTA_UNUSABLE},
                          Case{"delta-wrong.zip", false, InstallResult::DELTA_UNUSABLE}}) {
        SCOPED_TRACE(std::string(c.pszDelta) + (c.bBaseChanged ? ", base changed" : ""));
        test::TempDir temp;
        const std::string folder =
            temp.Path().string() + static_cast<char>(fs::path::preferred_separator);
        fs::create_directories(temp.Path() / "bin");
        const std::string installed = c.bBaseChanged ? base + "mine" : base;
        test::WriteWholeFile(temp.Path() / "bin" / "game.dat", installed);
        const std::string delta =
            test::ReadWholeFile(test::TestArchive(std::string(c.pszDelta) + DELTA_SUFFIX));
        const InstallOutcome outcome =
            InstallFromDelta(folder, c.pszDelta, delta, [](InstallStage) {});
        EXPECT_EQ(outcome.result, c.expected) << outcome.failure.Text();
        const bool bInstalled = c.expected == InstallResult::INSTALLED;
        EXPECT_TRUE(test::ReadWholeFile(temp.Path() / "bin" / "game.dat") ==
                    (bInstalled ? result : installed));
        EXPECT_EQ(fs::exists(temp.Path() / "new.txt"), bInstalled);
        EXPECT_FALSE(fs::exists(temp.Path() / STAGING_FOLDER_NAME));
    }
}

}  // namespace
}  // namespace corvana
