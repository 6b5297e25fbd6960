// What the tests share: the test servers, paths as this platform sees them, and
// a temporary folder for each test.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/folder.h"

namespace corvana::test {

// "http://host:port" of a server that tests/support/with_servers.py started
// (envName: "CORVANA_TEST_NGINX" or "CORVANA_TEST_FAULT"); empty, with a test
// failure, when the tests were not started through it.
std::string ServerUrl(const char* pszEnvName);

// A path that the servers' wrapper gives (a Linux path) as this program sees it:
// under Wine the Linux root is drive Z:.
std::string HostPath(const std::string& linuxPath);

// A file of nginx's document root, read whole.
std::string ReadDocrootFile(const std::string& name);

// Sets (or with nullptr removes) an environment variable of this process, which
// programs it starts inherit.
void SetEnv(const char* pszName, const char* pszValue);

// A test archive that tests/support/make_archives.py made.
std::filesystem::path TestArchive(const std::string& name);

// Copies a stand-in program (cw.exe, setup.exe) into a folder.
void CopyStandIn(const char* pszName, const std::filesystem::path& folder);

// The lines of a log a started program writes, once there are nLines of them (or
// after 5 s). Quotes are dropped: Wine quotes the program path it found in an
// unquoted command line.
std::vector<std::string> WaitForLines(const std::filesystem::path& path, std::size_t nLines = 1);

std::string ReadWholeFile(const std::filesystem::path& path);
// The folder at path held open (see platform/folder.h); a test failure when it cannot be.
FolderHandle OpenFolder(const std::string& path);
void WriteWholeFile(const std::filesystem::path& path, const std::string& data);

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // A path inside the folder as the program's 8-bit text.
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

}  // namespace corvana::test
