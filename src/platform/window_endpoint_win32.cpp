#include "platform/window_endpoint.h"

namespace corvana {

// The updater's window receives WM_CLIENT_VERSION and the raise request itself:
// there is no socket, and the handlers are only kept.
WindowEndpoint::~WindowEndpoint() { Close(); }

Result WindowEndpoint::Open(const char*, VersionHandler onVersion, RaiseHandler onRaise,
                            FailureHandler onFailure) {
    m_onVersion = std::move(onVersion);
    m_onRaise = std::move(onRaise);
    m_onFailure = std::move(onFailure);
    return {};
}

void WindowEndpoint::Close() {
    m_nSocket = m_nWake = -1;
    m_onVersion = nullptr;
    m_onRaise = nullptr;
    m_onFailure = nullptr;
}

void WindowEndpoint::Receive() {}

}  // namespace corvana
