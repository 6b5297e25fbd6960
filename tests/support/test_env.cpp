#include "test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace corvana::test {

namespace {

// The test servers' variables, when the tests run without with_servers.py around
// them (ctest -R NAME): from the file that ctest's fixture (its --start) wrote.
class ServerVariables : public ::testing::Environment {
public:
    void SetUp() override {
        const char* pszNginx = std::getenv("CORVANA_TEST_NGINX");
        if (pszNginx != nullptr && *pszNginx != '\0') return;
        std::ifstream state(HostPath(CORVANA_TEST_SERVERS_FILE));
        for (std::string line; std::getline(state, line);) {
            const std::size_t nEqual = line.find('=');
            if (nEqual != std::string::npos) {
                SetEnv(line.substr(0, nEqual).c_str(), line.substr(nEqual + 1).c_str());
            }
        }
    }
};

[[maybe_unused]] ::testing::Environment* const g_pServerVariables =
    ::testing::AddGlobalTestEnvironment(new ServerVariables);

#ifndef _WIN32
// Each test process gets a runtime folder and a temporary folder of its own, so
// that nothing else running on the account (an updater, another test) shares a
// socket, a lock or a temporary name with it.
class PrivateFolders : public ::testing::Environment {
public:
    void SetUp() override {
        const char* pszTemp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(pszTemp != nullptr && *pszTemp == '/' ? pszTemp : "/tmp") +
            "/corvana-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);  // mode 0700
        m_root = pattern;
        std::filesystem::create_directory(m_root / "tmp");
        SetEnv("XDG_RUNTIME_DIR", m_root.c_str());
        SetEnv("TMPDIR", (m_root / "tmp").c_str());
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(m_root, error);
    }

private:
    std::filesystem::path m_root;
};

[[maybe_unused]] ::testing::Environment* const g_pPrivateFolders =
    ::testing::AddGlobalTestEnvironment(new PrivateFolders);
#endif

}  // namespace

std::string ServerUrl(const char* pszEnvName) {
    const char* pszHost = std::getenv(pszEnvName);
    if (pszHost == nullptr || *pszHost == '\0') {
        ADD_FAILURE() << pszEnvName << " is not set: run the tests through "
                      << "tests/support/with_servers.py (ctest does)";
        return {};
    }
    return std::string("http://") + pszHost;
}

std::string HostPath(const std::string& linuxPath) {
#ifdef _WIN32
    std::string path = "Z:" + linuxPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
#else
    return linuxPath;
#endif
}

std::string ReadDocrootFile(const std::string& name) {
    const char* pszRoot = std::getenv("CORVANA_TEST_DOCROOT");
    if (pszRoot == nullptr) {
        ADD_FAILURE() << "CORVANA_TEST_DOCROOT is not set";
        return {};
    }
    return ReadWholeFile(HostPath(std::string(pszRoot) + "/" + name));
}

void SetEnv(const char* pszName, const char* pszValue) {
#ifdef _WIN32
    _putenv_s(pszName, pszValue != nullptr ? pszValue : "");
#else
    if (pszValue != nullptr) {
        ::setenv(pszName, pszValue, 1);
    } else {
        ::unsetenv(pszName);
    }
#endif
}

std::filesystem::path TestArchive(const std::string& name) {
    // Made with the build (tests/support/make_archives.py).
    return HostPath(std::string(CORVANA_TEST_ARCHIVES_DIR) + "/" + name);
}

void CopyStandIn(const char* pszName, const std::filesystem::path& folder) {
    std::filesystem::copy_file(std::filesystem::path(HostPath(CORVANA_STANDIN_DIR)) / pszName,
                               folder / pszName, std::filesystem::copy_options::overwrite_existing);
}

std::vector<std::string> WaitForLines(const std::filesystem::path& path, std::size_t nLines) {
    std::vector<std::string> lines;
    for (int nTry = 0; nTry < 500; ++nTry) {
        lines.clear();
        std::ifstream log(path);
        for (std::string line; std::getline(log, line);) {
            std::erase(line, '"');
            lines.push_back(line);
        }
        if (lines.size() >= nLines) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
}

FolderHandle OpenFolder(const std::string& path) {
    Expected<FolderHandle> folder = FolderHandle::Open(path);
    if (!folder) {
        ADD_FAILURE() << folder.GetFailure().Text();
        return {};
    }
    return std::move(*folder);
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::filesystem::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

TempDir::TempDir() {
    static std::atomic<unsigned> s_nCounter{0};
    const auto nStamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        m_path = std::filesystem::temp_directory_path() /
                 ("corvana-test-" + std::to_string(nStamp) + "-" + std::to_string(s_nCounter++));
        if (std::filesystem::create_directory(m_path)) break;
    }
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

}  // namespace corvana::test
