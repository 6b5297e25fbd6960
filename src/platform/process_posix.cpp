#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/window_endpoint_posix.h"

namespace corvana {

namespace {

bool IsProgram(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The path with its file name matched without regard to case in its folder, as
// on Windows; empty when there is no such program.
std::string FindProgram(const std::string& path) {
    if (path.empty()) return {};
    if (IsProgram(path)) return path;
    const std::size_t nSlash = path.rfind('/');
    const std::string folder = nSlash == std::string::npos ? "." : path.substr(0, nSlash + 1);
    const std::string name = nSlash == std::string::npos ? path : path.substr(nSlash + 1);
    std::string found;
    if (DIR* pDir = opendir(folder.c_str())) {
        while (const dirent* pEntry = readdir(pDir)) {
            if (strcasecmp(pEntry->d_name, name.c_str()) == 0 &&
                IsProgram(folder + pEntry->d_name)) {
                found = (nSlash == std::string::npos ? std::string() : folder) + pEntry->d_name;
                break;
            }
        }
        closedir(pDir);
    }
    return found;
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::size_t nStart = 0;
    while ((nStart = text.find_first_not_of(" \t", nStart)) != std::string::npos) {
        const std::size_t nEnd = text.find_first_of(" \t", nStart);
        words.push_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd;
    }
    return words;
}

// Starts the program detached, with args as its argument vector: a short-lived
// middle child starts it and ends at once, so the program is adopted by the
// system and never left to reap.
bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t nChild = fork();
    if (nChild < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (nChild == 0) {
        const pid_t nGrandchild = fork();
        if (nGrandchild != 0) _exit(nGrandchild < 0 ? 1 : 0);
        setsid();
        execv(program.c_str(), argv.data());
        const int nError = errno;  // exec failed: tell the parent
        [[maybe_unused]] ssize_t n = write(fds[1], &nError, sizeof nError);
        _exit(127);
    }
    close(fds[1]);
    int nStatus = 0;
    while (waitpid(nChild, &nStatus, 0) < 0 && errno == EINTR) {
    }
    int nError = 0;
    ssize_t nRead;
    while ((nRead = read(fds[0], &nError, sizeof nError)) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 && nRead == 0;
}

std::string MutexPath(const char* pszName) {
    const char* pszDir = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = pszDir && *pszDir ? pszDir : "";
    if (folder.empty()) {
        const char* pszTemp = std::getenv("TMPDIR");
        folder = pszTemp && *pszTemp ? pszTemp : "/tmp";
    }
    return folder + "/corvana-mutex-" + pszName + ".lock";
}

bool LockWhole(int fd, short nType, bool bWait) {
    struct flock lock {};
    lock.l_type = nType;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, bWait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0;
}

// A mutex handle is the descriptor of its lock file, holding a shared lock.
MutexHandle AsHandle(int fd) {
    return reinterpret_cast<MutexHandle>(static_cast<intptr_t>(fd) + 1);
}
int AsDescriptor(MutexHandle hMutex) {
    return static_cast<int>(reinterpret_cast<intptr_t>(hMutex) - 1);
}

bool SendToWindow(const char* pszTitle, const std::string& message) {
    const int nSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nSocket < 0) return false;
    const std::string address = WindowEndpointAddress(pszTitle);
    sockaddr_un target{};
    target.sun_family = AF_UNIX;
    std::memcpy(target.sun_path, address.data(), address.size());
    const socklen_t nLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    const bool bSent = sendto(nSocket, message.data(), message.size(), 0,
                              reinterpret_cast<const sockaddr*>(&target),
                              nLength) == static_cast<ssize_t>(message.size());
    close(nSocket);
    return bSent;
}

}  // namespace

bool StartProgram(const char* pszApplication, const char* pszCommandLine) {
    // The program sees its command line as a Windows program would: the words of
    // pszCommandLine, the first of them in place of its own name.
    const std::string commandLine = pszCommandLine != nullptr ? pszCommandLine : "";
    if (pszApplication != nullptr) {
        const std::string program = FindProgram(pszApplication);
        if (program.empty()) return false;
        std::vector<std::string> args = SplitWords(commandLine);
        if (args.empty()) args.push_back(program);
        return StartDetached(program, args);
    }
    // An unquoted path: each blank, left to right, may end the program's path.
    for (std::size_t nEnd = commandLine.find(' ');; nEnd = commandLine.find(' ', nEnd + 1)) {
        const std::string program = FindProgram(commandLine.substr(0, nEnd));
        if (!program.empty()) {
            std::vector<std::string> args{commandLine.substr(0, nEnd)};
            if (nEnd != std::string::npos) {
                for (std::string& word : SplitWords(commandLine.substr(nEnd + 1))) {
                    args.push_back(std::move(word));
                }
            }
            return StartDetached(program, args);
        }
        if (nEnd == std::string::npos) return false;
    }
}

MutexHandle OpenExistingMutex(const char* pszName) {
    const int fd = open(MutexPath(pszName).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // Somebody holds it when an exclusive lock cannot be had.
    if (LockWhole(fd, F_WRLCK, false)) {
        close(fd);  // closing the description drops the lock just taken
        return nullptr;
    }
    return AsHandle(fd);
}

MutexHandle CreateNamedMutex(const char* pszName, bool* pbExisted) {
    const int fd = open(MutexPath(pszName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // The first holder takes the exclusive lock and turns it into a shared one in
    // one step; a later one waits out that step and shares.
    const bool bFirst = LockWhole(fd, F_WRLCK, false);
    if (!LockWhole(fd, F_RDLCK, !bFirst)) {
        close(fd);
        return nullptr;
    }
    if (pbExisted != nullptr) *pbExisted = !bFirst;
    return AsHandle(fd);
}

void CloseMutex(MutexHandle hMutex) {
    if (hMutex != nullptr) close(AsDescriptor(hMutex));
}

std::string WindowEndpointAddress(const char* pszTitle) {
    std::string address(1, '\0');  // abstract: no file, gone with its process
    address += "corvana-window:";
    address += pszTitle;
    return address.substr(0, sizeof(sockaddr_un::sun_path));
}

bool SendClientVersion(const char* pszTitle, int32_t nVersion) {
    return SendToWindow(pszTitle, "version " + std::to_string(nVersion));
}

bool RaiseWindow(const char* pszTitle) { return SendToWindow(pszTitle, "raise"); }

WindowEndpoint::~WindowEndpoint() { Close(); }

bool WindowEndpoint::Open(const char* pszTitle, VersionHandler onVersion, RaiseHandler onRaise) {
    Close();
    const std::string address = WindowEndpointAddress(pszTitle);
    m_nSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, address.data(), address.size());
    const socklen_t nLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    if (m_nSocket < 0 || bind(m_nSocket, reinterpret_cast<const sockaddr*>(&local), nLength) != 0) {
        Close();
        return false;
    }
    m_nWake = eventfd(0, EFD_CLOEXEC);
    m_onVersion = std::move(onVersion);
    m_onRaise = std::move(onRaise);
    m_thread = std::thread([this] { Receive(); });
    return true;
}

void WindowEndpoint::Close() {
    if (m_thread.joinable()) {
        const uint64_t nOne = 1;
        [[maybe_unused]] ssize_t n = write(m_nWake, &nOne, sizeof nOne);
        m_thread.join();
    }
    if (m_nSocket >= 0) close(m_nSocket);
    if (m_nWake >= 0) close(m_nWake);
    m_nSocket = m_nWake = -1;
}

void WindowEndpoint::Receive() {
    for (;;) {
        pollfd fds[2] = {{m_nSocket, POLLIN, 0}, {m_nWake, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        char szMessage[64];
        const ssize_t nRead = recv(m_nSocket, szMessage, sizeof szMessage - 1, 0);
        if (nRead <= 0) continue;
        szMessage[nRead] = '\0';
        if (std::strncmp(szMessage, "version ", 8) == 0 && m_onVersion) {
            m_onVersion(static_cast<int32_t>(std::strtol(szMessage + 8, nullptr, 10)));
        } else if (std::strcmp(szMessage, "raise") == 0 && m_onRaise) {
            m_onRaise();
        }
    }
}

std::string GetProcessCommandLine(int argc, const char* const* argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) text += ' ';
        text += argv[i];
    }
    return text;
}

void SleepMs(uint32_t dwMs) { std::this_thread::sleep_for(std::chrono::milliseconds(dwMs)); }

uint32_t GetTickCountMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string GetProgramFilesFolder() {
    if (const char* pszData = std::getenv("XDG_DATA_HOME"); pszData && *pszData) return pszData;
    const char* pszHome = std::getenv("HOME");
    return std::string(pszHome ? pszHome : "") + "/.local/share";
}

}  // namespace corvana
