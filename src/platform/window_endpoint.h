// The Linux stand-in for a window that other processes find by its title: a
// local socket named after the title in the user's private runtime folder (see
// PrivateRuntimeFolder);
// messages from other users are ignored.
// It carries the two messages the updater's window takes from outside: the
// client's version number and the request to come to the front.
#pragma once

#ifdef _WIN32
#error "Windows programs receive these messages in their window"
#endif

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace corvana {

class WindowEndpoint {
public:
    using VersionHandler = std::function<void(int32_t)>;
    using RaiseHandler = std::function<void()>;

    WindowEndpoint() = default;
    ~WindowEndpoint();
    WindowEndpoint(const WindowEndpoint&) = delete;
    WindowEndpoint& operator=(const WindowEndpoint&) = delete;

    // Starts answering for pszTitle; the handlers run on the endpoint's own thread.
    // False, with Error() set, when the socket cannot be made.
    bool Open(const char* pszTitle, VersionHandler onVersion, RaiseHandler onRaise);
    void Close();
    const std::string& Error() const { return m_strError; }

private:
    void Receive();

    std::string m_strPath;
    std::string m_strError;
    int m_nSocket = -1;
    int m_nWake = -1;  // eventfd that ends the receiving thread
    std::thread m_thread;
    VersionHandler m_onVersion;
    RaiseHandler m_onRaise;
};

}  // namespace corvana
