#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "launch/launch.h"
#include "platform/registry.h"
#include "support/test_env.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

namespace corvana {
namespace {

// Each test works below a key of its own: on Linux a registry root in the test's
// folder, on Windows a fresh key under HKEY_CURRENT_USER\Software.
class RegistryTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        m_base = "Software\\CorvanaTest\\" + std::to_string(GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
#else
        test::SetEnv("CORVANA_REGISTRY_ROOT", m_temp.Path().c_str());
        m_base = "Test";
#endif
        Create("");
    }
    void TearDown() override {
#ifdef _WIN32
        RegDeleteTreeA(HKEY_CURRENT_USER, m_base.c_str());
#endif
    }

    std::string Path(const std::string& relative) const {
        return relative.empty() ? m_base : m_base + "\\" + relative;
    }
    void Create(const std::string& relative) {
        RegistryKey key = nullptr;
        ASSERT_EQ(RegistryCreate(RegistryCurrentUser(), Path(relative).c_str(), &key), 0)
            << relative;
        RegistryClose(key);
    }
    bool Exists(const std::string& relative) {
        RegistryKey key = nullptr;
        if (RegistryOpenFull(RegistryCurrentUser(), Path(relative).c_str(), &key) != 0)
            return false;
        RegistryClose(key);
        return true;
    }
    int DeleteTree(const std::string& relative) {
        char szName[REGISTRY_NAME_SIZE];
        return DeleteRegistryTree(RegistryCurrentUser(), Path(relative).c_str(), szName);
    }

    test::TempDir m_temp;
    std::string m_base;
};

TEST_F(RegistryTreeTest, KeyWithoutSubkeysIsDeleted) {
    Create("Leaf");
    EXPECT_EQ(DeleteTree("Leaf"), 0);
    EXPECT_FALSE(Exists("Leaf"));
    EXPECT_TRUE(Exists(""));
}

TEST_F(RegistryTreeTest, DeepTreeGoesWholeAndOnlyTheLastLevel) {
    for (const char* key :
         {"SOFTWARE\\Halvorn\\CW3_Path\\A\\A1\\A11", "SOFTWARE\\Halvorn\\CW3_Path\\A\\A2",
          "SOFTWARE\\Halvorn\\CW3_Path\\B\\B1", "SOFTWARE\\Halvorn\\CW3_Path\\C",
          "SOFTWARE\\Halvorn\\Other\\Keep"}) {
        Create(key);
    }
    EXPECT_EQ(DeleteTree(INSTALL_PATH_KEY), 0);
    EXPECT_FALSE(Exists(INSTALL_PATH_KEY));
    EXPECT_TRUE(Exists("SOFTWARE\\Halvorn"));
    EXPECT_TRUE(Exists("SOFTWARE\\Halvorn\\Other\\Keep"));
}

TEST_F(RegistryTreeTest, MissingKeyChangesNothing) {
    Create("SOFTWARE\\Halvorn");
    EXPECT_EQ(DeleteTree(INSTALL_PATH_KEY), -1);
    EXPECT_TRUE(Exists("SOFTWARE\\Halvorn"));
}

// Makes a key openable for reading only: on Windows by its security, on Linux by
// its folder's mode.
void LockKey(const std::string& path, bool bLocked) {
#ifdef _WIN32
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, WRITE_DAC | KEY_READ, &hKey), 0);
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        bLocked ? "D:P(A;;KR;;;WD)" : "D:P(A;;KA;;;WD)", SDDL_REVISION_1, &pDescriptor, nullptr));
    EXPECT_EQ(RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, pDescriptor), 0);
    LocalFree(pDescriptor);
    RegCloseKey(hKey);
#else
    const char* pszRoot = std::getenv("CORVANA_REGISTRY_ROOT");
    std::string folder = std::string(pszRoot) + "/HKEY_CURRENT_USER/" + path;
    std::replace(folder.begin(), folder.end(), '\\', '/');
    ASSERT_EQ(chmod(folder.c_str(), bLocked ? 0555 : 0755), 0);
#endif
}

TEST_F(RegistryTreeTest, SubkeyThatCannotBeOpenedKeepsItsParents) {
    for (const char* key : {"Top\\Mid\\Locked\\Inner", "Top\\Mid\\Free", "Top\\Side\\Leaf"})
        Create(key);
    LockKey(Path("Top\\Mid\\Locked"), true);

    EXPECT_EQ(DeleteTree("Top"), 0);  // the walk of Top finished; its own deletion failed
    EXPECT_TRUE(Exists("Top"));
    EXPECT_TRUE(Exists("Top\\Mid"));
    EXPECT_FALSE(Exists("Top\\Mid\\Free"));  // visited before the locked one
    EXPECT_FALSE(Exists("Top\\Side"));
    EXPECT_EQ(DeleteTree("Top\\Mid"), 1);
    LockKey(Path("Top\\Mid\\Locked"), false);
}

}  // namespace
}  // namespace corvana
