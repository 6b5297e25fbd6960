// The transfers an update run makes: over HTTP in the program (HttpDownloader),
// from a folder in the run's tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/transport.h"

namespace corvana {

class Fetcher {
public:
    virtual ~Fetcher() = default;

    virtual bool OpenInternet() = 0;
    // Opens a URL and returns its announced body length; 0 when none or on failure.
    virtual uint32_t OpenUrl(const char* pszUrl) = 0;
    // Appends what has arrived of the body; 0 at its end, without a URL or after a failure.
    virtual uint32_t ReadChunk() = 0;
    // The whole body as text, up to its first zero byte; empty when the download failed.
    virtual std::string DownloadToMemory(const char* pszUrl) = 0;
    virtual bool CloseUrl() = 0;
    virtual bool CloseInternet() = 0;

    // Why the current download failed; NONE while it has not.
    virtual DownloadFailure GetFailure() const = 0;
    // The failure in the system's or the library's words; may be empty.
    virtual const std::string& GetFailureDetail() const = 0;
    virtual int GetHttpStatus() const = 0;
    // The bytes received of the current (or last) body.
    virtual std::string_view GetBody() const = 0;
};

// Why the fetcher's last request failed, in one line with its URL and endpoint.
std::string DescribeDownload(const Fetcher& fetcher, const std::string& url);

}  // namespace corvana
