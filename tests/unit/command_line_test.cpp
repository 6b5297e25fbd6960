#include "run/command_line.h"

#include <gtest/gtest.h>

#include "platform/own_path.h"
#include "platform/platform.h"
#include "run/patch_server.h"

namespace corvana {
namespace {

const std::string kOwnFolder = std::string("games") + kPathSeparator + "cw" + kPathSeparator;

CommandSettings Read(std::string_view commandLine) {
    return ReadCommandLine(commandLine, kOwnFolder);
}

TEST(CommandLine, EmptyLineAsksForTheFolderOnTheNormalPath) {
    const CommandSettings settings = Read("");
    EXPECT_FALSE(settings.bBeta);
    EXPECT_FALSE(settings.bCheckVersion);
    EXPECT_FALSE(settings.bFolderKnown);
    EXPECT_EQ(settings.strInstallFolder, "");
}

TEST(CommandLine, SwitchesAreCaseSensitiveSubstringsAnywhere) {
    EXPECT_TRUE(Read("-THIS_FOLDER").bFolderKnown);  // first word
    EXPECT_TRUE(Read("foo -THIS_FOLDER bar").bFolderKnown);
    EXPECT_TRUE(Read("-THIS_FOLDERX").bFolderKnown);
    EXPECT_FALSE(Read("-this_folder").bFolderKnown);
    EXPECT_FALSE(Read("x-THIS_FOLDER").bFolderKnown);  // needs the blank before it
    EXPECT_TRUE(Read("-CHECK_VERSION").bCheckVersion);
    EXPECT_FALSE(Read("-Check_Version").bCheckVersion);
    EXPECT_FALSE(Read("-INSTALL").bFolderKnown);

    const CommandSettings both = Read("-CHECK_VERSION -THIS_FOLDER");
    EXPECT_TRUE(both.bCheckVersion);
    EXPECT_TRUE(both.bFolderKnown);
}

TEST(CommandLine, ThisFolderTakesTheOwnFolderEvenWhenEmpty) {
    EXPECT_EQ(Read("-THIS_FOLDER").strInstallFolder, kOwnFolder);
    const CommandSettings unknown = ReadCommandLine("-THIS_FOLDER", "");
    EXPECT_TRUE(unknown.bFolderKnown);
    EXPECT_EQ(unknown.strInstallFolder, "");
}

TEST(CommandLine, TabsCountAsBlanks) {
    EXPECT_TRUE(Read("a\t-THIS_FOLDER").bFolderKnown);
    EXPECT_TRUE(Read("\t-CHECK_VERSION").bCheckVersion);
}

TEST(CommandLine, UpdateWithBetaSelectsTheBetaPath) {
    // The version word starts at index 19 of the line, index 20 of the command text.
    EXPECT_TRUE(Read("-UPDATE abcdefghij 1.170 -U_BETA").bBeta);
    EXPECT_TRUE(Read("-update abcdefghij 1.170 -U_BETA").bBeta);
    EXPECT_TRUE(Read("-UPDATE abcdefghij 1.170 -U_BETA   ").bBeta);
    // Blank pairs are collapsed before the index is counted; a TAB is a blank.
    EXPECT_TRUE(Read("-UPDATE  abcdefghij 1.170 -U_BETA").bBeta);
    EXPECT_TRUE(Read("-UPDATE\tabcdefghij 1.170 -U_BETA").bBeta);

    EXPECT_FALSE(Read("-UPDATE abcdefghij 1.170 -u_beta").bBeta);
    EXPECT_FALSE(Read("-UPDATE abcdefghij 1.170 -U_BETA x").bBeta);
    EXPECT_FALSE(Read("-UPDATE abcdefghij 1.170 -U_BETAX").bBeta);
    EXPECT_FALSE(Read("x -UPDATE abcdefghij 1.170 -U_BETA").bBeta);  // must come first
    EXPECT_FALSE(Read("-U_BETA").bBeta);
}

TEST(CommandLine, UpdateKeepsOnlyTheTextBehindTheVersionWord) {
    // The first word behind the version has no blank before it any more.
    EXPECT_FALSE(Read("-UPDATE abcdefghij 1.170 -THIS_FOLDER").bFolderKnown);
    const CommandSettings second = Read("-UPDATE abcdefghij 1.170 -U_BETA -THIS_FOLDER");
    EXPECT_TRUE(second.bFolderKnown);
    EXPECT_FALSE(second.bBeta);
    // Switches before index 20 are gone with the version word's prefix.
    EXPECT_FALSE(Read("-UPDATE -CHECK_VERSION 1.170").bCheckVersion);
}

TEST(CommandLine, ShortUpdateLinesAreHarmless) {
    for (const char* line : {"-UPDATE", "-UPDATE ", "-UPDATE 123456789012", "-UPDATEx"}) {
        const CommandSettings settings = Read(line);
        EXPECT_FALSE(settings.bBeta) << line;
        EXPECT_FALSE(settings.bFolderKnown) << line;
    }
}

TEST(CommandLine, TheClientsPartIsReadWithTheSwitches) {
    EXPECT_EQ(Read("-THIS_FOLDER /AutoLoginRID:player7 x").strLoginPart, "/AutoLoginRID:player7 x");
    EXPECT_EQ(Read("-THIS_FOLDER /autologinrid:player7").strLoginPart, "");
}

TEST(CommandLine, FolderOfPathKeepsTheLastSeparator) {
    const std::string sep(1, kPathSeparator);
    EXPECT_EQ(FolderOfPath("a" + sep + "b" + sep + "CWUpdate2.exe"), "a" + sep + "b" + sep);
    EXPECT_EQ(FolderOfPath(sep + "x"), sep);
    EXPECT_EQ(FolderOfPath("noseparator.exe"), "");
    EXPECT_EQ(FolderOfPath(""), "");
}

TEST(CommandLine, OwnProgramPathNamesThisProgram) {
    const std::string path = GetOwnProgramPath();
    const std::string folder = FolderOfPath(path);
    ASSERT_FALSE(folder.empty()) << path;
    const std::string name = path.substr(folder.size());
    EXPECT_TRUE(name == "unit_tests" || name == "unit_tests.exe") << path;
}

TEST(CommandLine, SkipProgramNameAsTheRuntimeDoes) {
    EXPECT_EQ(SkipProgramName("CWUpdate2.exe -THIS_FOLDER"), "-THIS_FOLDER");
    EXPECT_EQ(SkipProgramName("\"C:\\Program Files\\CW\\CWUpdate2.exe\"   -a  b"), "-a  b");
    EXPECT_EQ(SkipProgramName("\"C:\\a b\\x.exe\""), "");
    EXPECT_EQ(SkipProgramName("x.exe\t\t-CHECK_VERSION "), "-CHECK_VERSION ");
    EXPECT_EQ(SkipProgramName("x.exe"), "");
    EXPECT_EQ(SkipProgramName("\"unclosed -a"), "");
}

TEST(CommandLine, JoinArgumentsUsesSingleBlanks) {
    const char* argv[] = {"corvana-updater", "-UPDATE", "abc", "/AutoLoginRID:x y"};
    EXPECT_EQ(JoinArguments(4, argv), "-UPDATE abc /AutoLoginRID:x y");
    EXPECT_EQ(JoinArguments(1, argv), "");
}

TEST(PatchServer, BaseUrlsEndInASlash) {
    EXPECT_EQ(MakeBaseUrl("127.0.0.1:8080", false), "http://127.0.0.1:8080/web_patch/corvana/");
    EXPECT_EQ(MakeBaseUrl("host.example", true), "http://host.example/web_patch/beta_corvana/");
    EXPECT_EQ(MakeBaseUrl("https://h.example:8443", false),
              "https://h.example:8443/web_patch/corvana/");
}

// The environment names the host only in a build that takes it from there.
TEST(PatchServer, TheEnvironmentNamesTheHostOnlyWhereTheBuildTakesIt) {
    const std::string builtIn = ChoosePatchHost(nullptr, true);
    EXPECT_EQ(ChoosePatchHost("", true), builtIn);
    EXPECT_EQ(ChoosePatchHost("127.0.0.1:81", true), "127.0.0.1:81");
    EXPECT_EQ(ChoosePatchHost("127.0.0.1:81", false), builtIn);
}

}  // namespace
}  // namespace corvana
