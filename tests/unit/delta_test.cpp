#include "archive/delta.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "install/folder_guard.h"
#include "install/install_step.h"
#include "publish/delta_maker.h"
#include "publish/zip_writer.h"
#include "support/test_deltas.h"
#include "support/test_env.h"

namespace corvana {
namespace {

namespace fs = std::filesystem;

TEST(DeltaIndex, TakesItsFormatAndNothingElse) {
    const std::string sha(64, 'a');
    const std::string tail = "\t0\t1\t2\t3\t";
    const std::string same = "same\t4\t" + sha + "\t4\t" + sha + tail + "bin/a b.txt\n";
    const Expected<std::vector<DeltaItem>> index = ReadDeltaIndex(same);
    ASSERT_TRUE(index);
    ASSERT_EQ((*index).size(), 1u);
    EXPECT_EQ((*index)[0].name, "bin/a b.txt");
    EXPECT_EQ((*index)[0].method, DeltaMethod::SAME);
    EXPECT_EQ((*index)[0].dwExternalAttributes, 3u);
    const std::string whole = "whole\t-\t-\t4\t";
    // Hashes left to the signed index: from version 3 only, never in windows.
    const std::string unnamed = "zstd\t4\t-\t4\t-" + tail + "a\n";
    EXPECT_TRUE(ReadDeltaIndex(unnamed));
    EXPECT_TRUE(ReadDeltaIndex(whole + "-" + tail + "a\n"));
    EXPECT_FALSE(ReadDeltaIndex(unnamed, 2));
    for (const std::string& bad : {
             same.substr(0, same.size() - 1),                          // the last line cut
             same + same,                                              // a name twice
             "zstd\t-\t-\t4\t" + sha + tail + "a\n",                   // a patch without a base
             whole + sha + "\t0\t1\t2\ta\n",                           // a field short
             "whole\t-\t-\t999999999999\t" + sha + tail + "a\n",       // above the limit
             "same\t4\t" + sha + "\t5\t" + sha + tail + "a\n",         // "same" that differs
             "same\t4\t" + sha + "\t4\t" + sha + "\t9\t1\t2\t3\ta\n",  // "same" with a payload
             whole + sha + "\t0\t1\t2\t4294967296\ta\n",               // attributes beyond 32 bits
             whole + std::string(64, 'A') + tail + "a\n", whole + sha + tail + "a\x01" + "b\n",
             whole + sha + tail + "folder/\n", "copy\t-\t-\t4\t" + sha + tail + "a\n",
             "windows\t4\t-\t4\t" + sha + tail + "a\n",  // a window's base unnamed
             "same\t4\t-\t4\t" + sha + tail + "a\n",     // one hash of two
         }) {
        EXPECT_FALSE(ReadDeltaIndex(bad)) << bad;
    }
}

// The container around the index: payloads that are the rest of it exactly.
TEST(DeltaIndex, ReadsTheWholeDeltaOrNothing) {
    const std::string delta = test::TestDelta();
    const Expected<std::vector<DeltaItem>> items = ReadDelta(delta);
    ASSERT_TRUE(items) << items.GetFailure().Text();
    ASSERT_EQ((*items).size(), 3u);
    EXPECT_EQ((*items)[1].method, DeltaMethod::DIFF);
    EXPECT_EQ((*items)[2].method, DeltaMethod::WHOLE);
    for (const std::string& bad : {delta.substr(0, delta.size() - 1), delta + "x",
                                   "corvana-delta 1\n" + delta.substr(DELTA_HEADER.size()),
                                   delta.substr(0, DELTA_HEADER.size() + 20)}) {
        EXPECT_FALSE(ReadDelta(bad));
    }
    // A diff rebuilds on its base, and on a shorter one fails without reading past it.
    const std::string program = test::ReadWholeFile(test::TestArchive("delta-prog-base.dat"));
    const Expected<std::string> rebuilt = RebuildItem((*items)[1], program);
    ASSERT_TRUE(rebuilt) << rebuilt.GetFailure().Text();
    EXPECT_TRUE(*rebuilt == test::ReadWholeFile(test::TestArchive("delta-prog-result.dat")));
    EXPECT_FALSE(RebuildItem((*items)[1], program.substr(0, 1000)));
}

// A delta installs what it names only on the base it was made from, all or nothing.
TEST(DeltaInstall, RebuildsFromTheFolderOrChangesNothing) {
    const std::string base = test::ReadWholeFile(test::TestArchive("delta-base.dat"));
    const std::string result = test::ReadWholeFile(test::TestArchive("delta-result.dat"));
    const std::string program = test::ReadWholeFile(test::TestArchive("delta-prog-base.dat"));
    const std::string programResult =
        test::ReadWholeFile(test::TestArchive("delta-prog-result.dat"));
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
        test::WriteWholeFile(temp.Path() / "bin" / "prog.bin", program);
        const std::string delta = test::TestDelta(std::string(c.pszDelta) == "delta-wrong.zip");
        const InstallOutcome outcome = InstallFromDelta(
            test::OpenFolder(folder), c.pszDelta, delta, [](InstallStage) {},
            SignedFiles{[](const std::string& path) -> Expected<std::string> {
                            return Failure{path, "no index"};
                        },
                        {}});
        EXPECT_EQ(outcome.result, c.expected) << outcome.failure.Text();
        const bool bInstalled = c.expected == InstallResult::INSTALLED;
        EXPECT_TRUE(test::ReadWholeFile(temp.Path() / "bin" / "game.dat") ==
                    (bInstalled ? result : installed));
        EXPECT_TRUE(test::ReadWholeFile(temp.Path() / "bin" / "prog.bin") ==
                    (bInstalled ? programResult : program));
        EXPECT_EQ(fs::exists(temp.Path() / "new.txt"), bInstalled);
        EXPECT_FALSE(fs::exists(temp.Path() / STAGING_FOLDER_NAME));
    }
}

// An item too large to hold is patched window by window against the base's
// region around each window: what changed costs about its size, and the
// rebuild takes the folder's file only when it is the base the delta names.
TEST(DeltaInstall, AWindowedItemRebuildsWindowByWindow) {
    std::mt19937 random(7);
    const auto noise = [&](std::size_t nSize) {
        std::string bytes(nSize, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        return bytes;
    };
    const std::string base = noise(200000);
    std::string result = base;
    result.replace(90000, 5000, noise(5000));  // changed in place
    result.insert(150000, noise(3000));        // the rest moves on
    result += noise(10000);                    // and grows
    test::TempDir temp;
    fs::create_directories(temp.Path() / "base");
    test::WriteWholeFile(temp.Path() / "base" / "big.dat", base);
    const std::string archive = (temp.Path() / "pack.zip").string();
    ZipWriter zip;
    ASSERT_TRUE(zip.Create(archive));
    ASSERT_TRUE(zip.AddData("big.dat", result, DosDateOf(1700000000), 0644));
    ASSERT_TRUE(zip.Close());
    const std::string deltaPath = archive + DELTA_SUFFIX;
    const Expected<DeltaCounts> counts = MakeDelta(archive, "", (temp.Path() / "base").string(),
                                                   deltaPath, DeltaOptions{65536, 16384, 4096});
    ASSERT_TRUE(counts) << counts.GetFailure().Text();
    ASSERT_TRUE(counts->bMade) << counts->skipped;
    EXPECT_EQ(counts->nWindowed, 1u);
    EXPECT_LT(counts->nBytes, 22000u);  // 18,000 bytes changed or new
    const std::string delta = test::ReadWholeFile(deltaPath);
    std::string damaged = delta;
    damaged[damaged.size() - 100] ^= 0x55;
    for (const auto& [pszCase, bBaseChanged, bDamaged] :
         {std::tuple{"the base", false, false}, std::tuple{"another base", true, false},
          std::tuple{"a damaged payload", false, true}}) {
        SCOPED_TRACE(pszCase);
        const fs::path folder = temp.Path() / "client";
        fs::remove_all(folder);
        fs::create_directories(folder);
        std::string installed = base;
        if (bBaseChanged) installed[123456] ^= 1;
        test::WriteWholeFile(folder / "big.dat", installed);
        const InstallOutcome outcome = InstallFromDelta(
            test::OpenFolder(folder.string() + static_cast<char>(fs::path::preferred_separator)),
            "pack.zip", bDamaged ? damaged : delta, [](InstallStage) {},
            SignedFiles{[](const std::string& path) -> Expected<std::string> {
                            return Failure{path, "no index"};
                        },
                        {}});
        const bool bInstalled = !bBaseChanged && !bDamaged;
        EXPECT_EQ(outcome.result,
                  bInstalled ? InstallResult::INSTALLED : InstallResult::DELTA_UNUSABLE)
            << outcome.failure.Text();
        EXPECT_TRUE(test::ReadWholeFile(folder / "big.dat") == (bInstalled ? result : installed));
    }
}

}  // namespace
}  // namespace corvana
