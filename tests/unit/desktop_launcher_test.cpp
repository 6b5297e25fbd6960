#include "app/linux/desktop_launcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_env.h"

namespace corvana {
namespace {

TEST(DesktopLauncher, TheMainGroupStartsTheFoldersUpdater) {
    const std::string shipped =
        "# the publisher's\r\n[Desktop Entry]\r\nName=Corvana\r\nExec=corvana-updater "
        "-THIS_FOLDER\r\n"
        "TryExec = corvana-updater\r\nIcon=corvana-updater\r\n\r\n[Desktop Action check]\r\n"
        "Exec=other\r\n";
    EXPECT_EQ(LauncherForFolder(shipped, "/home/me/Games/Corvana/"),
              "# the publisher's\n[Desktop Entry]\n"
              "Exec=\"/home/me/Games/Corvana/corvana-updater\" -THIS_FOLDER\n"
              "TryExec=/home/me/Games/Corvana/corvana-updater\nPath=/home/me/Games/Corvana\n"
              "Name=Corvana\nIcon=corvana-updater\n\n[Desktop Action check]\nExec=other\n");
    // Quoted for the command line, then escaped as a value; '%' goes through env.
    EXPECT_EQ(LauncherForFolder("[Desktop Entry]\n", R"(/a "b" $c `d` 5% \e/)"),
              "[Desktop Entry]\n"
              R"(Exec=env "/a \\"b\\" \\$c \\`d\\` 5%% \\\\e/corvana-updater" -THIS_FOLDER)"
              "\n"
              R"(TryExec=/a "b" $c `d` 5% \\e/corvana-updater)"
              "\n"
              R"(Path=/a "b" $c `d` 5% \\e)"
              "\n");
    EXPECT_EQ(LauncherForFolder("Name=Corvana\nExec=x\n", "/a/"), "");
}

// An updater that can repair adds its action to the entry's own, once.
TEST(DesktopLauncher, TheRepairActionJoinsTheEntrysOwn) {
    const std::string repair =
        "[Desktop Action repair]\nName=Verify and repair\n"
        "Exec=\"/a/corvana-updater\" --repair\n";
    const std::string head =
        "[Desktop Entry]\nExec=\"/a/corvana-updater\" -THIS_FOLDER\nTryExec=/a/corvana-updater\n"
        "Path=/a\n";
    EXPECT_EQ(LauncherForFolder("[Desktop Entry]\nName=C\n", "/a/", true),
              head + "Actions=repair;\nName=C\n" + repair);
    EXPECT_EQ(LauncherForFolder("[Desktop Entry]\nActions= check ;repair\n\n[Desktop Action "
                                "repair]\nExec=rm\n[Desktop Action check]\nExec=c\n",
                                "/a/", true),
              head + "Actions=check;repair;\n\n[Desktop Action check]\nExec=c\n" + repair);
}

TEST(DesktopLauncher, AFolderNameWithALineBreakIsNotWrittenIntoTheEntry) {
    const test::TempDir temp;
    const std::string folder = temp / "Games\nExec=rm -rf ~\n/";
    std::filesystem::create_directory(folder);
    test::WriteWholeFile(folder + LAUNCHER_FILE, "[Desktop Entry]\nName=Corvana\n");
    test::WriteWholeFile(folder + UPDATER_PROGRAM, "");
    test::SetEnv("XDG_DATA_HOME", (temp / "data").c_str());
    const Result registered = RegisterLauncher(folder);
    ASSERT_FALSE(registered);
    EXPECT_EQ(registered.GetFailure().why, "a control character in the folder's name");
    EXPECT_FALSE(std::filesystem::exists(temp / "data"));
    // Nor is a folder that is not absolute: its entry would start nothing.
    EXPECT_FALSE(RegisterLauncher(""));
    EXPECT_FALSE(RegisterLauncher("Games/Corvana/"));
    EXPECT_FALSE(std::filesystem::exists(temp / "data"));
    test::SetEnv("XDG_DATA_HOME", nullptr);
}

}  // namespace
}  // namespace corvana
