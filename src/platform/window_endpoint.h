// What reaches the updater's window from other processes: the client's version
// number and the request to come to the front. On Linux a local socket named
// after the title in the user's private runtime folder (see
// runtime_folder_posix.h) stands in for the window found by its title; messages
// from other users are ignored. On Windows the window itself receives them:
// Open succeeds and does nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/failure.h"

namespace corvana {

class WindowEndpoint {
public:
    using VersionHandler = std::function<void(int32_t)>;
    using RaiseHandler = std::function<void()>;
    // Told, once, what a handler threw (in words): the endpoint stops receiving.
    using FailureHandler = std::function<void(const std::string&)>;

    WindowEndpoint() = default;
    ~WindowEndpoint();
    WindowEndpoint(const WindowEndpoint&) = delete;
    WindowEndpoint& operator=(const WindowEndpoint&) = delete;

    // Starts answering for pszTitle; the handlers run on the endpoint's own thread.
    // A failure when the socket cannot be made.
    Result Open(const char* pszTitle, VersionHandler onVersion, RaiseHandler onRaise,
                FailureHandler onFailure);
    void Close();

private:
    void Receive();

    std::string m_strPath;
    int m_nSocket = -1;
    int m_nWake = -1;  // eventfd that ends the receiving thread
    std::thread m_thread;
    VersionHandler m_onVersion;
    RaiseHandler m_onRaise;
    FailureHandler m_onFailure;
};

}  // namespace corvana
