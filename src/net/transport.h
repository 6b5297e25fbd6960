// The transport under the HTTP downloader: WinINet on Windows, libcurl on Linux.
// Both behave alike: one GET per URL with the agent text and no other headers
// of ours, no proxy, at most MAX_REDIRECTS redirects (http and https only; never
// from https to http), a connection time-out and a time-out for a transfer that
// receives nothing. HTTPS verifies the server's certificate and name against the
// system's certificate authorities (on Linux also the file CORVANA_CA_FILE names).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

inline constexpr int MAX_REDIRECTS = 5;

// Why a download failed; NONE while it has not.
enum class DownloadFailure {
    NONE,
    OPEN_FAILED,      // the URL could not be opened (no connection, bad name or URL)
    REDIRECT,         // too many redirects, or one to another scheme
    HTTP_STATUS,      // the final status was 400 or above
    NO_LENGTH,        // the response announced no length
    REFUSED_LENGTH,   // the announced length does not fit the buffer
    TIMED_OUT,        // no connection, or no byte received, within the time-out
    CONNECTION_LOST,  // the connection failed while the body was read
    SHORT_BODY,       // the response ended before its announced length
    TOO_LONG,         // more bytes arrived than the buffer holds
    CERTIFICATE,      // HTTPS: the server's certificate or name could not be verified
    STALLED,          // the body arrived slower than the lowest speed
};

const char* DescribeFailure(DownloadFailure failure);

// A failed transfer: its kind, the final response's status (for HTTP_STATUS),
// and the system's or the library's own words for it when there are any
// ("Connection refused", "Could not resolve host: …").
struct TransferError {
    DownloadFailure kind = DownloadFailure::NONE;
    int nHttpStatus = 0;
    std::string detail;
};

// "host H, port P" for an http or https URL (the scheme's port when none is given).
std::string DescribeEndpoint(std::string_view url);

// Why the request for url failed, in one line with its URL and endpoint:
// "URL (host H, port P): the kind's words (HTTP n): the detail".
std::string DescribeTransfer(const TransferError& error, const std::string& url);

struct InternetSession;  // the root handle
struct UrlRequest;       // one open URL

// Where the body of a response goes as it arrives.
class BodySink {
public:
    virtual ~BodySink() = default;
    // How many more bytes the sink takes.
    virtual uint32_t Room() const = 0;
    // Takes the next dwSize bytes of the body (at most Room()).
    virtual void Append(const char* pData, uint32_t dwSize) = 0;
};

// A request for the body from byte nFrom on (up to byte nTo, not included, when
// nTo is not 0), if the server still holds the version that validator (an entity
// tag or a Last-Modified date) names: Range and If-Range. Such a request also
// bypasses every cache of the system's, so that a large body is written once,
// where the caller puts it.
struct RangeRequest {
    uint64_t nFrom = 0;
    uint64_t nTo = 0;
    std::string validator;

    bool IsPart() const { return nFrom > 0 || nTo > 0; }
    // The value of the Range header: "bytes=FROM-" or "bytes=FROM-LAST".
    std::string Text() const {
        return "bytes=" + std::to_string(nFrom) + "-" + (nTo > 0 ? std::to_string(nTo - 1) : "");
    }
};

// The response's headers that a ranged transfer reads.
enum class ResponseHeader { CONTENT_RANGE, ETAG, LAST_MODIFIED };

// Whether a request that is not a ranged one may write its body to a cache of
// the system's (WinINet's): such a response is never taken up as a large body.
extern const bool TRANSPORT_CACHES_BODIES;

InternetSession* OpenSession(const char* pszAgent, uint32_t dwTimeoutMs);
void CloseSession(InternetSession* pSession);

// Sends the request (a ranged one with pRange) and waits until the final
// response's headers are in; the body will go to sink.
Expected<UrlRequest*, TransferError> OpenRequest(InternetSession* pSession, const char* pszUrl,
                                                 BodySink& sink,
                                                 const RangeRequest* pRange = nullptr);
void CloseRequest(UrlRequest* pRequest);

// The final response's status code.
int GetStatus(UrlRequest* pRequest);

// The Content-Length header as text; false when there is none or it does not fit.
bool QueryContentLength(UrlRequest* pRequest, char* pszBuffer, uint32_t dwSize);

// The final response's header, trimmed; empty when it has none.
std::string QueryHeader(UrlRequest* pRequest, ResponseHeader header);

// Waits until body bytes have arrived or the response has ended, hands them to
// the request's sink and returns their count: 0 at the end of the response.
// Bytes beyond the sink's room are never handed over: WinINet leaves them
// unread, libcurl reports TOO_LONG.
Expected<uint32_t, TransferError> ReceiveAvailable(UrlRequest* pRequest);

}  // namespace corvana
