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
#include "platform/runtime_folder_posix.h"
#include "platform/window_endpoint.h"

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

// A folder only this user can enter: it holds the mutexes and window endpoints,
// so that neither is ever shared with another user or session.
bool IsPrivateFolder(const std::string& folder) {
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

// Makes folder a private one: made when missing, narrowed to 0700 when it is this
// user's own folder (never a link); false when it is another user's, a link or a file.
bool MakePrivateFolder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    const bool bOwn = fstat(fd, &info) == 0 && info.st_uid == getuid() &&
                      ((info.st_mode & 077) == 0 || fchmod(fd, 0700) == 0);
    close(fd);
    return bOwn && IsPrivateFolder(folder);
}

std::string EnvironmentFolder(const char* pszName) {
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr && *pszValue == '/' ? pszValue : "";
}

}  // namespace

std::string PrivateRuntimeFolder(std::string& cause) {
    // $XDG_RUNTIME_DIR when it is usable; else, as the XDG rules suggest, a private
    // folder of the user's own in the temporary folder; where another user took
    // that name first, one in the user's cache folder, which nobody else can.
    std::string runtime = EnvironmentFolder("XDG_RUNTIME_DIR");
    if (!runtime.empty() && IsPrivateFolder(runtime)) return runtime;
    const std::string temp = EnvironmentFolder("TMPDIR");
    const std::string user = std::to_string(getuid());
    std::string shared = (temp.empty() ? "/tmp" : temp) + "/corvana-runtime-" + user;
    if (MakePrivateFolder(shared)) return shared;
    std::string cache = EnvironmentFolder("XDG_CACHE_HOME");
    if (cache.empty() && !EnvironmentFolder("HOME").empty()) {
        cache = EnvironmentFolder("HOME") + "/.cache";
    }
    if (!cache.empty()) {
        mkdir(cache.c_str(), 0700);
        if (MakePrivateFolder(cache + "/corvana-runtime")) return cache + "/corvana-runtime";
    }
    cause = "no private runtime folder: " +
            (runtime.empty() ? std::string("XDG_RUNTIME_DIR is not set")
                             : runtime + " is not a folder of this user's with mode 0700") +
            ", " + shared + " is another user's or a link" +
            (cache.empty() ? std::string(", and no home folder")
                           : ", and " + cache + "/corvana-runtime cannot be made private");
    return {};
}

namespace {

std::string MutexPath(const char* pszName) {
    std::string cause;
    const std::string folder = PrivateRuntimeFolder(cause);
    return folder.empty() ? folder : folder + "/corvana-mutex-" + pszName + ".lock";
}

// The window's socket: a file in the runtime folder named after the title.
bool WindowAddress(const char* pszTitle, sockaddr_un& address, socklen_t& nLength) {
    std::string cause;
    const std::string folder = PrivateRuntimeFolder(cause);
    if (folder.empty()) return false;
    std::string path = folder + "/corvana-window-";
    for (const char* p = pszTitle; *p != '\0'; ++p) path += *p == '/' ? '_' : *p;
    if (path.size() >= sizeof address.sun_path) return false;
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    nLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

// Takes a lock on the whole file without waiting; false when it is held.
bool LockWhole(int fd, short nType) {
    struct flock lock {};
    lock.l_type = nType;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// A mutex handle is the descriptor of its lock file, holding a shared lock.
MutexHandle AsHandle(int fd) {
    return reinterpret_cast<MutexHandle>(static_cast<intptr_t>(fd) + 1);
}
int AsDescriptor(MutexHandle hMutex) {
    return static_cast<int>(reinterpret_cast<intptr_t>(hMutex) - 1);
}

bool SendToWindow(const char* pszTitle, const std::string& message) {
    sockaddr_un target{};
    socklen_t nLength = 0;
    if (!WindowAddress(pszTitle, target, nLength)) return false;
    const int nSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nSocket < 0) return false;
    const bool bSent = sendto(nSocket, message.data(), message.size(), 0,
                              reinterpret_cast<const sockaddr*>(&target),
                              nLength) == static_cast<ssize_t>(message.size());
    close(nSocket);
    return bSent;
}

}  // namespace

bool StartProgram(const char* pszApplication, const char* pszCommandLine) {
    // The program's argv[0] is its own path, argv[1...] the words of its command line.
    const std::string commandLine = pszCommandLine != nullptr ? pszCommandLine : "";
    if (pszApplication != nullptr) {
        const std::string program = FindProgram(pszApplication);
        if (program.empty()) return false;
        std::vector<std::string> args{program};
        for (std::string& word : SplitWords(commandLine)) args.push_back(std::move(word));
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
    const std::string path = MutexPath(pszName);
    if (path.empty()) return nullptr;
    const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // Somebody holds it when an exclusive lock cannot be had.
    if (LockWhole(fd, F_WRLCK)) {
        close(fd);  // closing the description drops the lock just taken
        return nullptr;
    }
    return AsHandle(fd);
}

MutexHandle CreateNamedMutex(const char* pszName, bool* pbExisted) {
    const std::string path = MutexPath(pszName);
    if (path.empty()) return nullptr;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // The first holder takes the exclusive lock and turns it into a shared one in
    // one step; a later one shares it. Nothing waits: a lock that cannot be had
    // at once means the mutex exists (its first holder is still in that step).
    const bool bFirst = LockWhole(fd, F_WRLCK);
    LockWhole(fd, F_RDLCK);
    if (pbExisted != nullptr) *pbExisted = !bFirst;
    return AsHandle(fd);
}

void CloseMutex(MutexHandle hMutex) {
    if (hMutex != nullptr) close(AsDescriptor(hMutex));
}

bool SendClientVersion(const char* pszTitle, int32_t nVersion) {
    return SendToWindow(pszTitle, "version " + std::to_string(nVersion));
}

bool RaiseWindow(const char* pszTitle) { return SendToWindow(pszTitle, "raise"); }

WindowEndpoint::~WindowEndpoint() { Close(); }

Result WindowEndpoint::Open(const char* pszTitle, VersionHandler onVersion, RaiseHandler onRaise,
                            FailureHandler onFailure) {
    Close();
    sockaddr_un local{};
    socklen_t nLength = 0;
    if (!WindowAddress(pszTitle, local, nLength)) {
        return Failure{{}, "no private runtime folder for the window's socket"};
    }
    m_nSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto bindLocal = [&] {
        return bind(m_nSocket, reinterpret_cast<const sockaddr*>(&local), nLength) == 0;
    };
    bool bBound = m_nSocket >= 0 && bindLocal();
    if (!bBound && errno == EADDRINUSE) {
        // A socket file that nobody answers on was left by an updater that died.
        const int nProbe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const bool bLive =
            nProbe >= 0 && connect(nProbe, reinterpret_cast<const sockaddr*>(&local), nLength) == 0;
        if (nProbe >= 0) close(nProbe);
        if (!bLive) {
            unlink(local.sun_path);
            bBound = bindLocal();
        } else {
            errno = EADDRINUSE;
        }
    }
    const int nOn = 1;
    if (!bBound || setsockopt(m_nSocket, SOL_SOCKET, SO_PASSCRED, &nOn, sizeof nOn) != 0) {
        Failure failure{local.sun_path, std::strerror(errno)};
        Close();
        return failure;
    }
    m_strPath = local.sun_path;
    m_nWake = eventfd(0, EFD_CLOEXEC);
    m_onVersion = std::move(onVersion);
    m_onRaise = std::move(onRaise);
    m_onFailure = std::move(onFailure);
    m_thread = std::thread([this] {
        // A handler that throws ends the endpoint, never the process.
        try {
            Receive();
        } catch (...) {
            if (m_onFailure) m_onFailure(DescribeException(std::current_exception()));
        }
    });
    return {};
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
    if (!m_strPath.empty()) unlink(m_strPath.c_str());
    m_strPath.clear();
}

void WindowEndpoint::Receive() {
    for (;;) {
        pollfd fds[2] = {{m_nSocket, POLLIN, 0}, {m_nWake, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        // Only this user's programs are heard: the kernel tells who sent a message.
        char szMessage[64];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec data{szMessage, sizeof szMessage - 1};
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t nRead = recvmsg(m_nSocket, &header, 0);
        if (nRead <= 0) continue;
        const cmsghdr* pControl = CMSG_FIRSTHDR(&header);
        if (pControl == nullptr || pControl->cmsg_type != SCM_CREDENTIALS) continue;
        ucred sender{};
        std::memcpy(&sender, CMSG_DATA(pControl), sizeof sender);
        if (sender.uid != getuid()) continue;
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
