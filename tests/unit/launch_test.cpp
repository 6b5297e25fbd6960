#include "launch/launch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/platform.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace corvana {
namespace {

namespace fs = std::filesystem;

// The stand-in programs, copied into a folder with a blank in its name.
class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = m_temp.Path() / "Corvana Game";
        fs::create_directories(m_folder);
        for (const char* name : {"cw.exe", "setup.exe"}) test::CopyStandIn(name, m_folder);
    }

    std::string Folder() const { return m_folder.string() + kPathSeparator; }

    std::vector<std::string> Log(const char* pszName, std::size_t nLines = 1) {
        return test::WaitForLines(m_folder / pszName, nLines);
    }

    test::TempDir m_temp;
    fs::path m_folder;
};

// The client's command line as its log shows it: on Windows the text it was
// given; on Linux its argv, whose first word is its own path.
std::string ClientLine(const std::string& program, const std::string& arguments) {
#ifdef _WIN32
    (void)program;
    return arguments;
#else
    return program + " " + arguments;
#endif
}

TEST_F(LaunchTest, ClientGetsOnlyTheLoginIdTail) {
    EXPECT_EQ(
        LaunchProgram(Folder() + "cw.exe",
                      LoginPart("-UPDATE abcdefghij 1.170 /AutoLoginRID:player7 extra words")),
        1);
    EXPECT_EQ(Log("cw.log"), std::vector<std::string>{ClientLine(
                                 Folder() + "cw.exe", "/AutoLoginRID:player7 extra words")});
}

TEST_F(LaunchTest, ClientNamesInAnyCaseAndCw3AreClients) {
    fs::copy_file(m_folder / "cw.exe", m_folder / "cw3.exe");
    // nothing after it: forwarded as it is
    EXPECT_EQ(LaunchProgram(Folder() + "CW.EXE", LoginPart("/AutoLoginRID:")), 1);
    EXPECT_EQ(Log("cw.log", 1).size(), 1u);
    EXPECT_EQ(LaunchProgram(Folder() + "cw3.exe", LoginPart("/AutoLoginRID:")), 1);
    EXPECT_EQ(Log("cw.log", 2),
              (std::vector<std::string>{ClientLine(Folder() + "cw.exe", "/AutoLoginRID:"),
                                        ClientLine(Folder() + "cw3.exe", "/AutoLoginRID:")}));
}

TEST_F(LaunchTest, WithoutTheExactTokenTheClientGetsItsPathOnly) {
    EXPECT_EQ(LaunchProgram(Folder() + "cw.exe", LoginPart("/autologinrid:player7")), 1);
    EXPECT_EQ(Log("cw.log"), std::vector<std::string>{Folder() + "cw.exe"});
}

TEST_F(LaunchTest, SetupProgramNeverGetsTheLoginId) {
    EXPECT_EQ(LaunchProgram(Folder() + "setup.exe -install", LoginPart("/AutoLoginRID:player7")),
              1);
    EXPECT_EQ(Log("setup.log"), std::vector<std::string>{Folder() + "setup.exe -install"});
}

TEST_F(LaunchTest, MissingProgramIsNotStarted) {
    EXPECT_EQ(LaunchProgram(Folder() + "nothing.exe"), 0);
    EXPECT_EQ(LaunchProgram(Folder() + "nothing.exe -install"), 0);
    EXPECT_EQ(LaunchProgram(""), 0);
    EXPECT_FALSE(fs::exists(m_folder / "cw.log"));
}

TEST(LaunchRules, ClientTestLooksAtTheEndOfTheWholeCommand) {
    EXPECT_TRUE(IsClientCommand("C:\\Games\\Corvana\\cw.exe"));
    EXPECT_TRUE(IsClientCommand("C:\\Games\\Corvana\\CW.EXE"));
    EXPECT_TRUE(IsClientCommand("/games/cw3.exe"));
    EXPECT_FALSE(IsClientCommand("C:\\Games\\CW.exe checkversion"));
    EXPECT_FALSE(IsClientCommand("C:\\Games\\setup.exe -install"));
    EXPECT_FALSE(IsClientCommand("C:\\Games\\cw.exe.bak"));
}

}  // namespace
}  // namespace corvana
