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

// A failed transfer: its kind, and the system's or the library's own words for
// it when there are any ("Connection refused", "Could not resolve host: …").
struct TransferError {
    DownloadFailure kind = DownloadFailure::NONE;
    std::string detail;
};

// "host H, port P" for an http or https URL (the scheme's port when none is given).
std::string DescribeEndpoint(std::string_view url);

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

InternetSession* OpenSession(const char* pszAgent, uint32_t dwTimeoutMs);
void CloseSession(InternetSession* pSession);

// Sends the request and waits until the final response's headers are in; the
// body will go to sink. On failure returns nullptr and says why.
UrlRequest* OpenRequest(InternetSession* pSession, const char* pszUrl, BodySink& sink,
                        TransferError& error);
void CloseRequest(UrlRequest* pRequest);

// The final response's status code.
int GetStatus(UrlRequest* pRequest);

// The Content-Length header as text; false when there is none or it does not fit.
bool QueryContentLength(UrlRequest* pRequest, char* pszBuffer, uint32_t dwSize);

// Waits until body bytes have arrived or the response has ended, hands them to
// the request's sink and returns their count: 0 at the end of the response, or
// on failure, which it then reports. Bytes beyond the sink's room are never
// handed over: WinINet leaves them unread, libcurl reports TOO_LONG.
uint32_t ReceiveAvailable(UrlRequest* pRequest, TransferError& error);

}  // namespace corvana
