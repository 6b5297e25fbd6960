#include "install/file_index.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/sha256.h"
#include "support/test_env.h"

namespace corvana {
namespace {

namespace fs = std::filesystem;

std::string SumsLine(const std::string& data, const std::string& path) {
    return Sha256Hex(data) + "  " + path + "\n";
}

TEST(FileIndex, JoinsItsTwoFilesAndTakesNothingElse) {
    const std::string sums = SumsLine("a", "data/a b.txt") + SumsLine("bb", "c.bin");
    const std::string entries = "101\tbase.zip\t1\tdata/a b.txt\n150\tsub/more.zip\t2\tc.bin\n";
    const Expected<std::vector<IndexedFile>> index = ReadFileIndex(sums, entries);
    ASSERT_TRUE(index) << index.GetFailure().Text();
    ASSERT_EQ((*index).size(), 2u);
    EXPECT_EQ((*index)[0].path, "data/a b.txt");
    EXPECT_EQ((*index)[0].sha256, Sha256Hex("a"));
    EXPECT_EQ((*index)[1].archive, "sub/more.zip");
    EXPECT_EQ((*index)[1].nSize, 2u);
    const std::string one = "101\tbase.zip\t1\tdata/a b.txt\n";
    for (const auto& [badSums, badEntries] : std::vector<std::pair<std::string, std::string>>{
             {sums, one},                                      // a file without its entry
             {sums, entries + one},                            // an entry twice
             {sums + SumsLine("a", "data/a b.txt"), entries},  // a hash twice
             {sums, entries.substr(0, entries.size() - 1)},    // the last line cut
             {SumsLine("a", "../a") + SumsLine("bb", "c.bin"), entries},  // leaves the folder
             {SumsLine("a", "/a") + SumsLine("bb", "c.bin"), entries},
             {sums, "101\t../base.zip\t1\tdata/a b.txt\n150\tsub/more.zip\t2\tc.bin\n"},
             {sums, "x\tbase.zip\t1\tdata/a b.txt\n150\tsub/more.zip\t2\tc.bin\n"},
             {sums, "101\tbase.zip\t-1\tdata/a b.txt\n150\tsub/more.zip\t2\tc.bin\n"},
             {std::string(64, 'g') + "  c.bin\n", "150\tm.zip\t2\tc.bin\n"},
             {Sha256Hex("bb") + "  c\\bin\n", "150\tm.zip\t2\tc\\bin\n"},
         }) {
        EXPECT_FALSE(ReadFileIndex(badSums, badEntries)) << badSums << badEntries;
    }
    // The sums are read as the signed list is: binary mode, capitals and CR LF too.
    const Expected<std::vector<IndexedFile>> binary =
        ReadFileIndex(Sha256Hex("bb") + " *c.bin\r\n", "150\tm.zip\t2\tc.bin\n");
    ASSERT_TRUE(binary) << binary.GetFailure().Text();
    EXPECT_EQ((*binary)[0].sha256, Sha256Hex("bb"));
    EXPECT_TRUE(ReadFileIndex(std::string(64, 'A') + "  c.bin\n", "150\tm.zip\t2\tc.bin\n"));
}

// Missing, shorter, changed, a link or a folder in a file's place: damaged; the
// rest, on any number of threads, not; the bytes checked add up to the index's.
TEST(FileIndex, FindsEveryDamagedFileAndOnlyThose) {
    test::TempDir temp;
    const std::string folder =
        temp.Path().string() + static_cast<char>(fs::path::preferred_separator);
    std::vector<IndexedFile> files;
    std::vector<std::size_t> expected;
    const auto add = [&](const std::string& path, const std::string& data, const std::string& on,
                         bool bDamaged) {
        files.push_back({path, data.size(), Sha256Hex(data), "a.zip"});
        if (bDamaged) expected.push_back(files.size() - 1);
        fs::create_directories((temp.Path() / path).parent_path());
        if (on == "file") test::WriteWholeFile(temp.Path() / path, data);
        if (on == "other") test::WriteWholeFile(temp.Path() / path, std::string(data.size(), 'x'));
        if (on == "short") test::WriteWholeFile(temp.Path() / path, data.substr(1));
        if (on == "folder") fs::create_directories(temp.Path() / path);
    };
    const std::string big(3 << 20, 'b');  // more than one block
    add("right.txt", "right", "file", false);
    add("data/big.bin", big, "file", false);
    add("data/empty.txt", "", "file", false);
    add("missing.txt", "gone", "none", true);
    add("data/changed.bin", big, "other", true);
    add("short.txt", "short", "short", true);
    add("folder.txt", "f", "folder", true);
#ifndef _WIN32
    add("link.txt", "right", "none", true);
    fs::create_symlink(temp.Path() / "right.txt", temp.Path() / "link.txt");
#endif
    uint64_t nTotal = 0;
    for (const IndexedFile& file : files) nTotal += file.nSize;
    for (const unsigned nThreads : {1u, 2u, 4u}) {
        uint64_t nLast = 0;
        EXPECT_EQ(FindDamagedFiles(test::OpenFolder(folder), files, nThreads,
                                   [&](uint64_t n) { nLast = n; }),
                  expected);
        EXPECT_EQ(nLast, nTotal);
    }
}

}  // namespace
}  // namespace corvana
