#include "platform/window_endpoint.h"

namespace corvana {

// The updater's window receives WM_CLIENT_VERSION and the raise request itself.
WindowEndpoint::~WindowEndpoint() { Close(); }

bool WindowEndpoint::Open(const char*, VersionHandler, RaiseHandler) { return true; }

void WindowEndpoint::Close() {}

void WindowEndpoint::Receive() {}

}  // namespace corvana
