#include "test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvana::test {

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
