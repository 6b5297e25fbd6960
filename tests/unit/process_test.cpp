#include "platform/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "launch/launch.h"
#include "platform/platform.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/runtime_folder_posix.h"
#include "platform/window_endpoint.h"
#endif

namespace corvana {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kTitle = "CW - AutoUpdater";

std::string UniqueName(const char* pszStem) {
    return std::string(pszStem) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(NamedMutex, CreateTellsWhetherItExistedAndItGoesWithItsLastHandle) {
    const std::string name = UniqueName("corvana-test");
    EXPECT_EQ(OpenExistingMutex(name.c_str()), nullptr);
    bool bExisted = true;
    MutexHandle hFirst = CreateNamedMutex(name.c_str(), &bExisted);
    ASSERT_NE(hFirst, nullptr);
    EXPECT_FALSE(bExisted);
    MutexHandle hSecond = CreateNamedMutex(name.c_str(), &bExisted);
    ASSERT_NE(hSecond, nullptr);
    EXPECT_TRUE(bExisted);
    MutexHandle hOpened = OpenExistingMutex(name.c_str());
    EXPECT_NE(hOpened, nullptr);
    CloseMutex(hOpened);
    CloseMutex(hFirst);
    CloseMutex(hSecond);
    EXPECT_EQ(OpenExistingMutex(name.c_str()), nullptr);
}

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override { test::CopyStandIn("cw.exe", m_temp.Path()); }
    std::string Folder() const { return m_temp.Path().string() + kPathSeparator; }
    test::TempDir m_temp;
};

TEST_F(StandInTest, ClientMutexIsSeenWhileTheClientRunsAndGoneAfter) {
    test::SetEnv("CORVANA_STANDIN_HOLD_MS", "1500");
    ASSERT_EQ(LaunchProgram(Folder() + "cw.exe"), 1);
    test::SetEnv("CORVANA_STANDIN_HOLD_MS", nullptr);
    MutexHandle hSeen = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (hSeen = OpenExistingMutex("CW")) != nullptr; }, 5000ms));
    CloseMutex(hSeen);
    EXPECT_TRUE(WaitFor(
        [] {
            MutexHandle h = OpenExistingMutex("CW");
            CloseMutex(h);
            return h == nullptr;
        },
        10000ms));
}

#ifdef _WIN32
std::atomic<int32_t> g_nReceived{0};

LRESULT CALLBACK ReceiverProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_CLIENT_VERSION) g_nReceived = static_cast<int32_t>(lParam);
    return DefWindowProcA(hWnd, nMessage, wParam, lParam);
}

TEST_F(StandInTest, ClientDeliversItsVersionToTheWindowFoundByTitle) {
    std::ofstream(m_temp.Path() / "cw-version.txt") << 171;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "CorvanaTestReceiver";
    RegisterClassA(&windowClass);
    HWND hWnd = CreateWindowA("CorvanaTestReceiver", kTitle, WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                              nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(hWnd, nullptr);
    g_nReceived = 0;
    ASSERT_EQ(LaunchProgram(Folder() + "CW.exe checkversion"), 1);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (g_nReceived == 0 && std::chrono::steady_clock::now() < until) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(g_nReceived, 171);
    DestroyWindow(hWnd);
}
#else
TEST_F(StandInTest, ClientDeliversItsVersionToTheWindowFoundByTitle) {
    std::ofstream(m_temp.Path() / "cw-version.txt") << 171;
    std::atomic<int32_t> nReceived{0};
    std::atomic<int> nRaised{0};
    WindowEndpoint endpoint;
    ASSERT_TRUE(endpoint.Open(
        kTitle, [&](int32_t n) { nReceived = n; }, [&] { ++nRaised; }, nullptr));
    WindowEndpoint second;
    EXPECT_FALSE(second.Open(kTitle, nullptr, nullptr, nullptr));  // one window per title

    ASSERT_EQ(LaunchProgram(Folder() + "CW.exe checkversion"), 1);
    EXPECT_TRUE(WaitFor([&] { return nReceived != 0; }, 10000ms));
    EXPECT_EQ(nReceived, 171);
    EXPECT_TRUE(RaiseWindow(kTitle));
    EXPECT_TRUE(WaitFor([&] { return nRaised == 1; }, 5000ms));
    endpoint.Close();
    EXPECT_FALSE(SendClientVersion(kTitle, 5));  // nobody answers for the title now

    // A handler that throws ends the endpoint with its words, not the program.
    std::mutex mutex;
    std::string failure;
    ASSERT_TRUE(endpoint.Open(
        kTitle, [](int32_t) { throw std::runtime_error("no room for the answer"); }, nullptr,
        [&](const std::string& what) {
            const std::lock_guard lock(mutex);
            failure = what;
        }));
    EXPECT_TRUE(SendClientVersion(kTitle, 5));
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::lock_guard lock(mutex);
            return failure == "no room for the answer";
        },
        5000ms));
}

// The window's socket is the user's own: another user cannot reach it, and an
// unusable runtime folder is replaced by a private one rather than shared.
TEST_F(StandInTest, OnlyThisUserReachesTheWindow) {
    const std::filesystem::path shared = m_temp.Path() / "shared";
    std::filesystem::create_directories(shared);
    std::filesystem::permissions(shared, std::filesystem::perms::all);  // 0777: not private
    test::SetEnv("XDG_RUNTIME_DIR", shared.c_str());
    std::atomic<int32_t> nReceived{0};
    WindowEndpoint endpoint;
    const Result opened = endpoint.Open(
        kTitle, [&](int32_t n) { nReceived = n; }, nullptr, nullptr);
    ASSERT_TRUE(opened) << opened.GetFailure().Text();
    EXPECT_TRUE(std::filesystem::is_empty(shared));  // nothing of ours in a shared folder
    bool bExisted = true;
    MutexHandle hMutex = CreateNamedMutex("CWMutex-Test", &bExisted);
    EXPECT_NE(hMutex, nullptr);  // the lock works all the same
    CloseMutex(hMutex);
    if (getuid() == 0) {
        // Another user, by system calls alone after fork: it cannot even send.
        const char* pszTemp = std::getenv("TMPDIR");
        const std::string folder = std::string(pszTemp != nullptr && *pszTemp ? pszTemp : "/tmp") +
                                   "/corvana-runtime-0/corvana-window-";
        sockaddr_un target{};
        target.sun_family = AF_UNIX;
        std::snprintf(target.sun_path, sizeof target.sun_path, "%s%s", folder.c_str(), kTitle);
        const pid_t child = fork();
        if (child == 0) {
            if (setuid(65534) != 0) _exit(3);
            const int nSocket = socket(AF_UNIX, SOCK_DGRAM, 0);
            const bool bSent =
                sendto(nSocket, "version 99999", 13, 0, reinterpret_cast<const sockaddr*>(&target),
                       sizeof target) > 0;
            _exit(bSent ? 1 : 0);
        }
        int nStatus = 0;
        waitpid(child, &nStatus, 0);
        EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    }
    EXPECT_TRUE(SendClientVersion(kTitle, 150));
    EXPECT_TRUE(WaitFor([&] { return nReceived != 0; }, 5000ms));
    EXPECT_EQ(nReceived, 150);
    test::SetEnv("XDG_RUNTIME_DIR", nullptr);
}

// Another user's folder under the fallback's name is passed by, never used; with
// no folder left the cause says so. A held lock never makes the mutex wait.
TEST_F(StandInTest, ASquattedRuntimeFolderIsPassedByAndNothingWaits) {
    const std::string saved = std::getenv("TMPDIR");
    test::SetEnv("XDG_RUNTIME_DIR", nullptr);
    test::SetEnv("TMPDIR", m_temp.Path().c_str());
    test::SetEnv("XDG_CACHE_HOME", (m_temp.Path() / "cache").c_str());
    const std::filesystem::path squatted =
        m_temp.Path() / ("corvana-runtime-" + std::to_string(getuid()));
    std::string cause;
    if (getuid() == 0) {
        std::filesystem::create_directory(squatted);
        std::filesystem::permissions(squatted, std::filesystem::perms::all);
        ASSERT_EQ(lchown(squatted.c_str(), 65534, 65534), 0);
        EXPECT_EQ(PrivateRuntimeFolder(cause), (m_temp.Path() / "cache/corvana-runtime").string());
    }
    std::filesystem::remove(squatted);
    std::filesystem::create_directory_symlink(m_temp.Path(), squatted);  // a link is no folder
    EXPECT_EQ(PrivateRuntimeFolder(cause), (m_temp.Path() / "cache/corvana-runtime").string());
    std::filesystem::remove_all(m_temp.Path() / "cache");
    test::WriteWholeFile(m_temp.Path() / "cache", "a file in the way");
    EXPECT_EQ(PrivateRuntimeFolder(cause), "");
    EXPECT_NE(cause.find("no private runtime folder"), std::string::npos) << cause;
    std::filesystem::remove(squatted);

    // Whoever holds the lock file exclusively, the mutex is had at once, as existing.
    const std::string folder = PrivateRuntimeFolder(cause);
    ASSERT_FALSE(folder.empty()) << cause;
    const std::string lockPath = folder + "/corvana-mutex-CWMutex-Held.lock";
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    bool bExisted = false;
    MutexHandle hMutex = CreateNamedMutex("CWMutex-Held", &bExisted);
    EXPECT_TRUE(bExisted);
    CloseMutex(hMutex);
    close(fd);
    test::SetEnv("TMPDIR", saved.c_str());
    test::SetEnv("XDG_CACHE_HOME", nullptr);
}
#endif

TEST(ProgramFiles, FolderIsNamed) { EXPECT_FALSE(GetProgramFilesFolder().empty()); }

}  // namespace
}  // namespace corvana
