#include "archive/zip_extractor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>

#include "archive/item_name.h"
#include "install/install_step.h"
#include "install/transaction.h"
#include "platform/platform.h"
#include "support/test_env.h"
#include "support/unzip_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace corvana {
namespace {

namespace fs = std::filesystem;

const std::string kAlpha = "alpha\n";

std::string Data() {
    std::string data;
    for (int i = 0; i < 1000; ++i) data += "data ";
    return data;
}

// The names of everything below a folder, relative, with '/' separators.
std::set<std::string> Tree(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.insert(fs::relative(entry.path(), folder).generic_string());
    }
    return names;
}

void MakeReadOnly(const fs::path& path) {
#ifdef _WIN32
    SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_READONLY);
#else
    chmod(path.c_str(), 0444);
#endif
}

class ZipExtractorTest : public ::testing::Test {
protected:
    // A test archive copied into the test's folder (or a sub-folder of it).
    std::string Archive(const std::string& name, const std::string& as = "patch.zip") {
        const fs::path target = m_temp.Path() / as;
        fs::create_directories(target.parent_path());
        fs::copy_file(test::TestArchive(name), target, fs::copy_options::overwrite_existing);
        return target.string();
    }

    // Unpacks as the update run does; true when every item was unpacked.
    bool Unzip(const std::string& path) {
        bool bExtracted = false;
        EXPECT_TRUE(test::UnzipFile(path.c_str(), &bExtracted));
        return bExtracted;
    }

    fs::path At(const std::string& relative) const { return m_temp.Path() / fs::path(relative); }

    test::TempDir m_temp;
};

TEST_F(ZipExtractorTest, StoredAndDeflatedArchivesUnpackIntoTheirFolder) {
    for (const char* name : {"stored.zip", "deflated.zip"}) {
        const std::string path = Archive(name);
        EXPECT_TRUE(Unzip(path)) << name;
        EXPECT_EQ(test::ReadWholeFile(At("alpha.txt")), kAlpha) << name;
        EXPECT_EQ(test::ReadWholeFile(At("bin/data/x.dat")), Data()) << name;
        EXPECT_TRUE(fs::exists(At("empty.txt")));
        EXPECT_EQ(fs::file_size(At("empty.txt")), 0u);
        fs::remove_all(At("bin"));
    }
}

TEST_F(ZipExtractorTest, BothSeparatorsMakeFolders) {
    EXPECT_TRUE(Unzip(Archive("backslash.zip")));
    EXPECT_EQ(test::ReadWholeFile(At("sub/inner/b.txt")), kAlpha);
}

TEST_F(ZipExtractorTest, FolderItemsCreateNothingOfTheirOwn) {
    EXPECT_TRUE(Unzip(Archive("folders.zip")));
    EXPECT_EQ(Tree(m_temp.Path()), (std::set<std::string>{"patch.zip", "bin", "bin/f.txt"}));
}

TEST_F(ZipExtractorTest, ArchivesWithoutItemsOrNotArchivesFail) {
    EXPECT_FALSE(Unzip(Archive("no-items.zip")));
    EXPECT_FALSE(Unzip(Archive("not-an-archive.zip", "other.zip")));
    EXPECT_EQ(Tree(m_temp.Path()), (std::set<std::string>{"patch.zip", "other.zip"}));
}

TEST_F(ZipExtractorTest, ExistingFileIsReplaced) {
    test::WriteWholeFile(At("alpha.txt"), "an older and longer text\n");
    EXPECT_TRUE(Unzip(Archive("deflated.zip")));
    EXPECT_EQ(test::ReadWholeFile(At("alpha.txt")), kAlpha);
}

TEST_F(ZipExtractorTest, WrittenFilesCarryTheStoredTimeAsLocalTime) {
    EXPECT_TRUE(Unzip(Archive("dated.zip")));
    // 2021-03-04 05:06:08 local time, in the fixed zone the tests run in.
#ifdef _WIN32
    HANDLE hFile = CreateFileA(At("dated.txt").string().c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(hFile, &created, &accessed, &written));
    CloseHandle(hFile);
    for (const FILETIME& time : {created, written}) {
        FILETIME local;
        SYSTEMTIME fields;
        FileTimeToLocalFileTime(&time, &local);
        FileTimeToSystemTime(&local, &fields);
        EXPECT_EQ(fields.wYear, 2021);
        EXPECT_EQ(fields.wMonth, 3);
        EXPECT_EQ(fields.wDay, 4);
        EXPECT_EQ(fields.wHour, 5);
        EXPECT_EQ(fields.wMinute, 6);
        EXPECT_EQ(fields.wSecond, 8);
    }
#else
    struct stat info {};
    ASSERT_EQ(stat(At("dated.txt").c_str(), &info), 0);
    std::tm fields{};
    localtime_r(&info.st_mtime, &fields);
    EXPECT_EQ(fields.tm_year + 1900, 2021);
    EXPECT_EQ(fields.tm_mon + 1, 3);
    EXPECT_EQ(fields.tm_mday, 4);
    EXPECT_EQ(fields.tm_hour, 5);
    EXPECT_EQ(fields.tm_min, 6);
    EXPECT_EQ(fields.tm_sec, 8);
#endif
}

TEST_F(ZipExtractorTest, ReadOnlyTargetStopsTheWalkAndKeepsEarlierItems) {
    const std::string path = Archive("five.zip");
    test::WriteWholeFile(At("f3.txt"), "kept\n");
    MakeReadOnly(At("f3.txt"));
    EXPECT_FALSE(Unzip(path));
    EXPECT_EQ(test::ReadWholeFile(At("f1.txt")), "file 1\n");
    EXPECT_EQ(test::ReadWholeFile(At("f2.txt")), "file 2\n");
    EXPECT_EQ(test::ReadWholeFile(At("f3.txt")), "kept\n");
    // Nothing after it, and no temporary file left behind.
    EXPECT_EQ(Tree(m_temp.Path()),
              (std::set<std::string>{"patch.zip", "f1.txt", "f2.txt", "f3.txt"}));
#ifdef _WIN32
    SetFileAttributesA(At("f3.txt").string().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
}

TEST_F(ZipExtractorTest, FolderInTheWayOfAFileFails) {
    fs::create_directories(At("alpha.txt"));
    EXPECT_FALSE(Unzip(Archive("deflated.zip")));
    EXPECT_TRUE(fs::is_directory(At("alpha.txt")));
}

TEST_F(ZipExtractorTest, UnsafeNamesRefuseTheWholeArchive) {
    const bool bWindows = kPathSeparator == '\\';
    for (const char* name :
         {"unsafe-parent.zip", "unsafe-nested-parent.zip", "unsafe-backslash-parent.zip",
          "unsafe-absolute.zip", "unsafe-drive.zip", "unsafe-unc.zip", "windows-device.zip",
          "windows-colon.zip"}) {
        const bool bWindowsOnly = std::string(name).starts_with("windows-");
        test::TempDir outer;
        const fs::path inner = outer.Path() / "install";
        fs::create_directories(inner);
        fs::copy_file(test::TestArchive(name), inner / "patch.zip");

        bool bExtracted = true;
        EXPECT_TRUE(test::UnzipFile((inner / "patch.zip").string().c_str(), &bExtracted));
        if (bWindowsOnly && !bWindows) {
            EXPECT_TRUE(bExtracted) << name << " is a plain name on this system";
            continue;
        }
        EXPECT_FALSE(bExtracted) << name;
        EXPECT_EQ(Tree(outer.Path()), (std::set<std::string>{"install", "install/patch.zip"}))
            << name;
    }
    EXPECT_FALSE(fs::exists("/tmp/evil.txt"));
}

TEST_F(ZipExtractorTest, DamagedDataOrWrongChecksumFailsTheItem) {
    for (const char* name : {"bad-data.zip", "bad-crc.zip"}) {
        test::TempDir temp;
        const fs::path target = temp.Path() / "patch.zip";
        fs::copy_file(Archive(name, std::string("copy-") + name), target);
        bool bExtracted = true;
        EXPECT_TRUE(test::UnzipFile(target.string().c_str(), &bExtracted));
        EXPECT_FALSE(bExtracted) << name;
        // The item before stays; the damaged one and those after are not written.
        EXPECT_EQ(Tree(temp.Path()), (std::set<std::string>{"patch.zip", "good.txt"})) << name;
    }
}

TEST_F(ZipExtractorTest, SizesAreReadInFullFromZip64Fields) {
    EXPECT_TRUE(Unzip(Archive("zip64-small.zip")));
    EXPECT_EQ(test::ReadWholeFile(At("data.dat")), Data());
    // 2^32 + 3 declared, 3 held, a wrong CRC: not written, on 32-bit builds too.
    EXPECT_FALSE(Unzip(Archive("zip64-lying.zip")));
    EXPECT_FALSE(fs::exists(At("huge.dat")));
}

// The update run's install: an archive goes in whole or not at all, and nothing
// of the transaction stays behind.
TEST_F(ZipExtractorTest, InstallingAnArchiveIsAllOrNothing) {
    struct Case {
        const char* pszArchive;
        InstallResult result;
    };
    for (const Case& c : {Case{"deflated.zip", InstallResult::INSTALLED},
                          Case{"bad-crc.zip", InstallResult::NOT_UNPACKED},
                          Case{"zip64-lying.zip", InstallResult::NOT_UNPACKED},
                          Case{"not-an-archive.zip", InstallResult::NOT_UNPACKED}}) {
        test::TempDir temp;
        test::WriteWholeFile(temp.Path() / "good.txt", "old\n");
        test::WriteWholeFile(temp.Path() / "alpha.txt", "old\n");
        const std::string folder =
            temp.Path().string() + static_cast<char>(fs::path::preferred_separator);
        std::vector<InstallStage> stages;
        const InstallOutcome outcome =
            InstallFile(test::OpenFolder(folder), "patch.zip",
                        test::ReadWholeFile(test::TestArchive(c.pszArchive)),
                        [&](InstallStage stage) { stages.push_back(stage); });
        EXPECT_EQ(outcome.result, c.result) << c.pszArchive;
        if (outcome.result != InstallResult::INSTALLED) {
            EXPECT_EQ(outcome.failure.Text(),
                      "patch.zip: could not be unpacked whole (a damaged archive)");
        }
        const bool bInstalled = c.result == InstallResult::INSTALLED;
        EXPECT_EQ(test::ReadWholeFile(temp.Path() / "alpha.txt"), bInstalled ? kAlpha : "old\n")
            << c.pszArchive;
        EXPECT_EQ(test::ReadWholeFile(temp.Path() / "good.txt"), "old\n") << c.pszArchive;
        std::set<std::string> expected{"alpha.txt", "good.txt"};
        if (bInstalled) expected.insert({"bin", "bin/data", "bin/data/x.dat", "empty.txt"});
        EXPECT_EQ(Tree(temp.Path()), expected) << c.pszArchive;
        // The stages that happen: the archive saved, unpacked, and (whole) installed.
        std::vector<InstallStage> happened{InstallStage::SAVING, InstallStage::UNPACKING};
        if (bInstalled) happened.push_back(InstallStage::INSTALLED);
        EXPECT_EQ(stages, happened) << c.pszArchive;
    }
}

TEST_F(ZipExtractorTest, AnInterruptedInstallIsFinishedOrDiscarded) {
    // A crash after the journal: its moves are made. Before it: the staged files go.
    const std::string folder =
        m_temp.Path().string() + static_cast<char>(fs::path::preferred_separator);
    for (const bool bJournal : {true, false}) {
        test::WriteWholeFile(m_temp.Path() / "a.txt", "old\n");
        test::WriteWholeFile(m_temp.Path() / "patch.zip", "downloaded");
        const fs::path staging = m_temp.Path() / STAGING_FOLDER_NAME;
        fs::create_directories(staging);
        test::WriteWholeFile(staging / "part1", "new\n");
        test::WriteWholeFile(staging / "download", folder + "patch.zip");
        const std::string record = (staging / "part1").string() + '\0' + folder + "a.txt" + '\0';
        if (bJournal) test::WriteWholeFile(staging / "journal", record);
        RecoverInstallFolder(test::OpenFolder(folder));
        EXPECT_EQ(test::ReadWholeFile(m_temp.Path() / "a.txt"), bJournal ? "new\n" : "old\n");
        EXPECT_EQ(Tree(m_temp.Path()), std::set<std::string>{"a.txt"}) << bJournal;
    }
}

TEST_F(ZipExtractorTest, NameLongerThanAPathFails) {
    EXPECT_FALSE(Unzip(Archive("long-name.zip")));
    EXPECT_EQ(Tree(m_temp.Path()), std::set<std::string>{"patch.zip"});
}

#ifndef _WIN32
TEST_F(ZipExtractorTest, UnixExecuteBitsAreKept) {
    EXPECT_TRUE(Unzip(Archive("exec.zip")));
    struct stat info {};
    ASSERT_EQ(stat(At("tools/run.sh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0111, 0111u);
    ASSERT_EQ(stat(At("plain.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0111, 0u);
}
#endif

TEST_F(ZipExtractorTest, UnzipFileTakesNamesEndingInZip) {
    EXPECT_TRUE(Unzip(Archive("deflated.zip", "UPPER.ZIP")));
    EXPECT_TRUE(Unzip(Archive("deflated.zip", "Mixed.Zip")));
    EXPECT_TRUE(Unzip(Archive("deflated.zip", "nodotzip")));
    bool bExtracted = true;
    EXPECT_TRUE(test::UnzipFile(Archive("deflated.zip", "a.gzip").c_str(), &bExtracted));
    EXPECT_TRUE(bExtracted);  // an archive after all
    EXPECT_TRUE(test::UnzipFile(Archive("not-an-archive.zip", "b.gzip").c_str(), &bExtracted));
    EXPECT_FALSE(bExtracted);
    EXPECT_FALSE(test::UnzipFile(Archive("deflated.zip", "c.rar").c_str(), &bExtracted));
    EXPECT_FALSE(bExtracted);
}

TEST_F(ZipExtractorTest, WalksAndItemInfo) {
    ZipExtractor extractor;
    EXPECT_EQ(extractor.GetItemCount(), 0u);
    EXPECT_FALSE(extractor.GoToFirstItem());
    ASSERT_TRUE(extractor.Open(Archive("deflated.zip").c_str(), false));
    EXPECT_EQ(extractor.GetItemCount(), 3u);

    ZipItemInfo info;
    ASSERT_TRUE(extractor.GoToFirstItem("TXT"));
    ASSERT_TRUE(extractor.GetCurrentItemInfo(info));
    EXPECT_STREQ(info.szName, "alpha.txt");
    ASSERT_TRUE(extractor.GoToNextItem("txt"));
    ASSERT_TRUE(extractor.GetCurrentItemInfo(info));
    EXPECT_STREQ(info.szName, "empty.txt");
    EXPECT_FALSE(extractor.GoToNextItem("txt"));

    ASSERT_TRUE(extractor.GoToFirstItem("dat"));
    ASSERT_TRUE(extractor.GetCurrentItemInfo(info));
    const std::string expected =
        std::string("bin") + kPathSeparator + "data" + kPathSeparator + "x.dat";
    EXPECT_EQ(std::string(info.szName), expected);
    EXPECT_EQ(info.dwCompressionMethod, 8u);
    EXPECT_EQ(info.dwUncompressedSize, 5000u);
    EXPECT_LT(info.dwCompressedSize, 5000u);
    EXPECT_FALSE(info.bFolder);
    EXPECT_TRUE(extractor.Close());
    EXPECT_FALSE(extractor.Close());

    ASSERT_TRUE(extractor.Open(Archive("folders.zip").c_str(), false));
    ASSERT_TRUE(extractor.GoToFirstItem());
    ASSERT_TRUE(extractor.GetCurrentItemInfo(info));
    EXPECT_TRUE(info.bFolder);
}

TEST_F(ZipExtractorTest, DestinationFolderFromTheArchivePath) {
    const std::string path = Archive("deflated.zip", "game.v2.zip");
    ZipExtractor named(path.c_str());
    EXPECT_EQ(std::string(named.GetDestinationFolder()), (m_temp.Path() / "game.v2").string());
    EXPECT_TRUE(named.ExtractAll(false));
    EXPECT_EQ(test::ReadWholeFile(m_temp.Path() / "game.v2" / "alpha.txt"), kAlpha);

    ZipExtractor beside;
    ASSERT_TRUE(beside.Open(path.c_str(), false));
    EXPECT_EQ(std::string(beside.GetDestinationFolder()), m_temp.Path().string());
    EXPECT_FALSE(ZipExtractor().ExtractAll(false));
}

TEST_F(ZipExtractorTest, FlattenedPathsLandInTheFolder) {
    ZipExtractor extractor;
    ASSERT_TRUE(extractor.Open(Archive("deflated.zip").c_str(), false));
    EXPECT_TRUE(extractor.ExtractAllTo((m_temp.Path() / "flat").string().c_str(), true));
    EXPECT_EQ(test::ReadWholeFile(m_temp.Path() / "flat" / "x.dat"), Data());
}

TEST_F(ZipExtractorTest, EnsureDirectoryCreatesEveryLevel) {
    const std::string deep = (m_temp.Path() / "a" / "b" / "c").string();
    EXPECT_TRUE(ZipExtractor::EnsureDirectory(deep.c_str()));
    EXPECT_TRUE(fs::is_directory(deep));
    test::WriteWholeFile(At("file"), "x");
    EXPECT_FALSE(ZipExtractor::EnsureDirectory(At("file").string().c_str()));
    EXPECT_FALSE(ZipExtractor::EnsureDirectory((At("file") / "below").string().c_str()));
    EXPECT_FALSE(ZipExtractor::EnsureDirectory(""));
    EXPECT_TRUE(
        ZipExtractor::EnsureParentDirectory((m_temp.Path() / "p" / "q.txt").string().c_str()));
    EXPECT_TRUE(fs::is_directory(m_temp.Path() / "p"));
    EXPECT_FALSE(ZipExtractor::EnsureParentDirectory("no-separator.txt"));
}

TEST(ItemName, RefusesNamesThatLeaveTheFolder) {
    for (NameRules rules : {NameRules::POSIX, NameRules::WINDOWS}) {
        for (const char* name : {"../x", "a/../../x", "a\\..\\..\\x", "..", "a/..", "/etc/x", "\\x",
                                 "\\\\server\\share\\x", "C:x", "c:\\x", ""}) {
            EXPECT_FALSE(IsSafeItemName(name, rules)) << name;
        }
        for (const char* name : {"a.txt", "bin/data/x.dat", "bin\\x", "..a", "a..", "a/.hidden",
                                 "folder/", "./a", "COM10.txt", "console.txt", "sub/CONX"}) {
            EXPECT_TRUE(IsSafeItemName(name, rules)) << name;
        }
    }
    // Names that Windows reads as devices, streams or "..", and POSIX as plain names.
    for (const char* name : {"CON", "con.txt", "sub/NUL", "Aux.dat", "COM1", "lpt9.log",
                             "file:name.txt", "sub/file.txt:stream", "...", "a/.. /x"}) {
        EXPECT_FALSE(IsSafeItemName(name, NameRules::WINDOWS)) << name;
        EXPECT_TRUE(IsSafeItemName(name, NameRules::POSIX)) << name;
    }
}

}  // namespace
}  // namespace corvana
