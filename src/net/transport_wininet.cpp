// WinINet transport: synchronous handles, redirects followed by hand so that
// their number and scheme can be checked. The two calls that wait for the server
// (opening a URL, reading what has arrived) run through a BlockingCaller, so a
// stalled server ends the download after the time-out even where the system's
// own receive time-out is not honoured.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "net/blocking_call.h"
#include "net/transport.h"
#include "platform/files.h"

namespace corvana {

// The most bytes one read takes from WinINet, the fewest it asks for beyond
// what has arrived, and the first such read.
constexpr uint32_t READ_BLOCK_SIZE = 256 * 1024;
constexpr uint32_t MIN_READ_SIZE = 8 * 1024;
constexpr uint32_t FIRST_READ_SIZE = 16 * 1024;
// A read that took less than this grows, one that took more than that shrinks.
constexpr uint32_t QUICK_READ_MS = 100;
constexpr uint32_t SLOW_READ_MS = 400;

struct InternetSession {
    HINTERNET hInternet;
    DWORD dwTimeoutMs;
    BlockingCaller caller;
    // Shared with a read that was given up on, which may still write into it.
    std::shared_ptr<char[]> pReadBlock{new char[READ_BLOCK_SIZE]};
};

struct UrlRequest {
    InternetSession* pSession;
    HINTERNET hUrl;
    BodySink& sink;
    int nStatus;
    uint32_t dwReadSize = FIRST_READ_SIZE;  // what the next read asks for at least
};

namespace {

DownloadFailure KindOfError(DWORD dwError, DownloadFailure otherwise) {
    switch (dwError) {
        case ERROR_INTERNET_TIMEOUT:
            return DownloadFailure::TIMED_OUT;
        case ERROR_INTERNET_INVALID_CA:
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        case ERROR_INTERNET_SEC_CERT_ERRORS:
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        case ERROR_INTERNET_SEC_CERT_REVOKED:
        case ERROR_INTERNET_SEC_INVALID_CERT:
            return DownloadFailure::CERTIFICATE;
        default:
            return otherwise;
    }
}

// A failure with WinINet's words for its error code, or the number alone.
TransferError ErrorOf(DWORD dwError, DownloadFailure otherwise) {
    TransferError error{KindOfError(dwError, otherwise), 0,
                        "WinINet error " + std::to_string(dwError)};
    const std::string text = SystemErrorText(dwError, "wininet.dll");
    if (!text.empty()) error.detail += ": " + text;
    return error;
}

TransferError TimedOut(DWORD dwTimeoutMs) {
    return {DownloadFailure::TIMED_OUT, 0,
            "nothing received for " + std::to_string(dwTimeoutMs / 1000) + " s"};
}

// InternetOpenUrlA bounded by the session's time-out. A handle that the call
// makes after the caller has given up on it is closed, not leaked.
Expected<HINTERNET, TransferError> OpenUrlInTime(InternetSession& session, const std::string& url,
                                                 const RangeRequest* pRange) {
    struct Call {
        std::mutex mutex;
        HINTERNET hUrl = nullptr;
        DWORD dwError = 0;
        bool bAbandoned = false;
    };
    auto pCall = std::make_shared<Call>();
    const HINTERNET hInternet = session.hInternet;
    // A ranged request never goes through the system's cache: the body is
    // written once, where the caller puts it, and comes from the server.
    std::string headers;
    DWORD dwFlags = INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (pRange != nullptr) {
        dwFlags |= INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD;
        if (pRange->IsPart()) {
            headers = "Range: " + pRange->Text() + "\r\n";
            if (!pRange->validator.empty()) headers += "If-Range: " + pRange->validator + "\r\n";
        }
    }
    const bool bInTime = session.caller.Run(
        [pCall, hInternet, url, headers, dwFlags] {
            HINTERNET hUrl = InternetOpenUrlA(
                hInternet, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                headers.empty() ? 0 : static_cast<DWORD>(-1L), dwFlags, 0);
            const DWORD dwError = GetLastError();
            std::lock_guard lock(pCall->mutex);
            if (pCall->bAbandoned) {
                if (hUrl != nullptr) InternetCloseHandle(hUrl);
                return;
            }
            pCall->hUrl = hUrl;
            pCall->dwError = dwError;
        },
        session.dwTimeoutMs);
    std::lock_guard lock(pCall->mutex);
    if (!bInTime) {
        pCall->bAbandoned = true;
        if (pCall->hUrl != nullptr) InternetCloseHandle(pCall->hUrl);
        return TimedOut(session.dwTimeoutMs);
    }
    if (pCall->hUrl == nullptr) return ErrorOf(pCall->dwError, DownloadFailure::OPEN_FAILED);
    return pCall->hUrl;
}

bool IsRedirect(DWORD dwStatus) {
    return dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 ||
           dwStatus == 308;
}

bool IsSecure(const std::string& url) { return _strnicmp(url.c_str(), "https://", 8) == 0; }

// Where a redirect may lead: http or https, and from https only to https.
bool MayRedirect(const std::string& from, const std::string& to) {
    return IsSecure(to) || (!IsSecure(from) && _strnicmp(to.c_str(), "http://", 7) == 0);
}

// The Location header resolved against the URL it came from; empty when missing.
std::string RedirectTarget(HINTERNET hUrl, const std::string& base) {
    char szLocation[2048];
    DWORD dwSize = sizeof szLocation;
    if (!HttpQueryInfoA(hUrl, HTTP_QUERY_LOCATION, szLocation, &dwSize, nullptr)) return {};
    char szCombined[4096];
    DWORD dwCombined = sizeof szCombined;
    if (!InternetCombineUrlA(base.c_str(), szLocation, szCombined, &dwCombined, ICU_NO_ENCODE)) {
        return {};
    }
    return std::string(szCombined, dwCombined);
}

}  // namespace

const bool TRANSPORT_CACHES_BODIES = true;

InternetSession* OpenSession(const char* pszAgent, uint32_t dwTimeoutMs) {
    HINTERNET hInternet = InternetOpenA(pszAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (hInternet == nullptr) return nullptr;
    DWORD dwTimeout = dwTimeoutMs;
    for (DWORD dwOption : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                           INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        InternetSetOptionA(hInternet, dwOption, &dwTimeout, sizeof dwTimeout);
    }
    return new InternetSession{hInternet, dwTimeoutMs, {}};
}

void CloseSession(InternetSession* pSession) {
    InternetCloseHandle(pSession->hInternet);
    delete pSession;
}

Expected<UrlRequest*, TransferError> OpenRequest(InternetSession* pSession, const char* pszUrl,
                                                 BodySink& sink, const RangeRequest* pRange) {
    std::string url = pszUrl;
    for (int nRedirects = 0;; ++nRedirects) {
        const Expected<HINTERNET, TransferError> opened = OpenUrlInTime(*pSession, url, pRange);
        if (!opened) return opened.GetFailure();
        HINTERNET hUrl = *opened;
        DWORD dwStatus = 0;
        DWORD dwSize = sizeof dwStatus;
        HttpQueryInfoA(hUrl, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &dwSize,
                       nullptr);
        if (!IsRedirect(dwStatus)) {
            return new UrlRequest{pSession, hUrl, sink, static_cast<int>(dwStatus)};
        }
        std::string next = RedirectTarget(hUrl, url);
        InternetCloseHandle(hUrl);
        if (nRedirects == MAX_REDIRECTS || next.empty() || !MayRedirect(url, next)) {
            return TransferError{
                DownloadFailure::REDIRECT, 0,
                next.empty() ? "a redirect without a usable Location"
                             : "redirect " + std::to_string(nRedirects + 1) + " to " + next};
        }
        url = std::move(next);
    }
}

void CloseRequest(UrlRequest* pRequest) {
    InternetCloseHandle(pRequest->hUrl);
    delete pRequest;
}

int GetStatus(UrlRequest* pRequest) { return pRequest->nStatus; }

bool QueryContentLength(UrlRequest* pRequest, char* pszBuffer, uint32_t dwSize) {
    DWORD dwLength = dwSize;
    if (!HttpQueryInfoA(pRequest->hUrl, HTTP_QUERY_CONTENT_LENGTH, pszBuffer, &dwLength, nullptr)) {
        return false;
    }
    pszBuffer[std::min<DWORD>(dwLength, dwSize - 1)] = '\0';
    return true;
}

std::string QueryHeader(UrlRequest* pRequest, ResponseHeader header) {
    DWORD dwInfo = HTTP_QUERY_CONTENT_RANGE;
    if (header == ResponseHeader::ETAG) dwInfo = HTTP_QUERY_ETAG;
    if (header == ResponseHeader::LAST_MODIFIED) dwInfo = HTTP_QUERY_LAST_MODIFIED;
    char szValue[512];
    DWORD dwSize = sizeof szValue;
    if (!HttpQueryInfoA(pRequest->hUrl, dwInfo, szValue, &dwSize, nullptr)) return {};
    std::string value(szValue, std::min<DWORD>(dwSize, sizeof szValue));
    const std::size_t nEnd = value.find_last_not_of(" \t\r\n");
    value.erase(nEnd == std::string::npos ? 0 : nEnd + 1);
    return value.substr(std::min(value.size(), value.find_first_not_of(" \t")));
}

Expected<uint32_t, TransferError> ReceiveAvailable(UrlRequest* pRequest) {
    // Waits until data has arrived or the response has ended, then reads it, and
    // more up to the request's read size: WinINet may report only the few KiB it
    // buffered, and a read per few KiB costs more than the bytes. The read size
    // grows while the line fills reads quickly and shrinks when one waits, so no
    // read holds the run for long on a slow line; both calls are bounded by the
    // time-out.
    struct Read {
        BOOL bOk = FALSE;
        DWORD dwAvailable = 0;
        DWORD dwAsked = 0;
        DWORD dwRead = 0;
        DWORD dwError = 0;
    };
    auto pRead = std::make_shared<Read>();
    const HINTERNET hUrl = pRequest->hUrl;
    InternetSession& session = *pRequest->pSession;
    // Bytes past the announced length are not part of the body.
    const uint32_t dwRoom = std::min(pRequest->sink.Room(), READ_BLOCK_SIZE);
    const uint32_t dwReadSize = pRequest->dwReadSize;
    std::shared_ptr<char[]> pBlock = session.pReadBlock;
    const DWORD dwStart = GetTickCount();
    const bool bInTime = session.caller.Run(
        [pRead, pBlock, hUrl, dwRoom, dwReadSize] {
            pRead->bOk = InternetQueryDataAvailable(hUrl, &pRead->dwAvailable, 0, 0);
            if (pRead->bOk && pRead->dwAvailable > 0 && dwRoom > 0) {
                pRead->dwAsked =
                    std::min<DWORD>(dwRoom, std::max<DWORD>(pRead->dwAvailable, dwReadSize));
                pRead->bOk = InternetReadFile(hUrl, pBlock.get(), pRead->dwAsked, &pRead->dwRead);
            }
            pRead->dwError = GetLastError();
        },
        session.dwTimeoutMs);
    if (!bInTime) {
        session.pReadBlock.reset(new char[READ_BLOCK_SIZE]);  // the old one is the late read's
        return TimedOut(session.dwTimeoutMs);
    }
    if (!pRead->bOk) return ErrorOf(pRead->dwError, DownloadFailure::CONNECTION_LOST);
    const DWORD dwTook = GetTickCount() - dwStart;
    if (pRead->dwRead == pRead->dwAsked && dwTook < QUICK_READ_MS) {
        pRequest->dwReadSize = std::min(dwReadSize * 2, READ_BLOCK_SIZE);
    } else if (dwTook > SLOW_READ_MS) {
        pRequest->dwReadSize = std::max(dwReadSize / 2, MIN_READ_SIZE);
    }
    pRequest->sink.Append(pBlock.get(), pRead->dwRead);
    return uint32_t{pRead->dwRead};
}

}  // namespace corvana
