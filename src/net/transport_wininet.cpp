// WinINet transport: synchronous handles, redirects followed by hand so that
// their number and scheme can be checked. The two calls that wait for the server
// (opening a URL, asking what is available) run through a BlockingCaller, so a
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

// The most bytes one read takes from WinINet.
constexpr uint32_t READ_BLOCK_SIZE = 256 * 1024;

struct InternetSession {
    HINTERNET hInternet;
    DWORD dwTimeoutMs;
    BlockingCaller caller;
    std::unique_ptr<char[]> pReadBlock{new char[READ_BLOCK_SIZE]};
};

struct UrlRequest {
    InternetSession* pSession;
    HINTERNET hUrl;
    BodySink& sink;
    int nStatus;
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
    TransferError error{KindOfError(dwError, otherwise),
                        "WinINet error " + std::to_string(dwError)};
    const std::string text = SystemErrorText(dwError, "wininet.dll");
    if (!text.empty()) error.detail += ": " + text;
    return error;
}

TransferError TimedOut(DWORD dwTimeoutMs) {
    return {DownloadFailure::TIMED_OUT,
            "nothing received for " + std::to_string(dwTimeoutMs / 1000) + " s"};
}

// InternetOpenUrlA bounded by the session's time-out. A handle that the call
// makes after the caller has given up on it is closed, not leaked.
HINTERNET OpenUrlInTime(InternetSession& session, const std::string& url, TransferError& error) {
    struct Call {
        std::mutex mutex;
        HINTERNET hUrl = nullptr;
        DWORD dwError = 0;
        bool bAbandoned = false;
    };
    auto pCall = std::make_shared<Call>();
    const HINTERNET hInternet = session.hInternet;
    const bool bInTime = session.caller.Run(
        [pCall, hInternet, url] {
            HINTERNET hUrl = InternetOpenUrlA(hInternet, url.c_str(), nullptr, 0,
                                              INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
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
        error = TimedOut(session.dwTimeoutMs);
        return nullptr;
    }
    if (pCall->hUrl == nullptr) error = ErrorOf(pCall->dwError, DownloadFailure::OPEN_FAILED);
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

UrlRequest* OpenRequest(InternetSession* pSession, const char* pszUrl, BodySink& sink,
                        TransferError& error) {
    std::string url = pszUrl;
    for (int nRedirects = 0;; ++nRedirects) {
        HINTERNET hUrl = OpenUrlInTime(*pSession, url, error);
        if (hUrl == nullptr) return nullptr;
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
            error = {DownloadFailure::REDIRECT,
                     next.empty() ? "a redirect without a usable Location"
                                  : "redirect " + std::to_string(nRedirects + 1) + " to " + next};
            return nullptr;
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

uint32_t ReceiveAvailable(UrlRequest* pRequest, TransferError& error) {
    // Waits until data has arrived or the response has ended.
    struct Query {
        BOOL bOk = FALSE;
        DWORD dwAvailable = 0;
        DWORD dwError = 0;
    };
    auto pQuery = std::make_shared<Query>();
    const HINTERNET hUrl = pRequest->hUrl;
    InternetSession& session = *pRequest->pSession;
    const bool bInTime = session.caller.Run(
        [pQuery, hUrl] {
            pQuery->bOk = InternetQueryDataAvailable(hUrl, &pQuery->dwAvailable, 0, 0);
            pQuery->dwError = GetLastError();
        },
        session.dwTimeoutMs);
    if (!bInTime) {
        error = TimedOut(session.dwTimeoutMs);
        return 0;
    }
    if (!pQuery->bOk) {
        error = ErrorOf(pQuery->dwError, DownloadFailure::CONNECTION_LOST);
        return 0;
    }
    const DWORD dwAvailable = pQuery->dwAvailable;
    if (dwAvailable == 0) return 0;

    // Bytes past the announced length are not part of the body.
    const uint32_t dwRoom = pRequest->sink.Room();
    if (dwRoom == 0) return 0;
    const DWORD dwWanted =
        std::min<uint32_t>({static_cast<uint32_t>(dwAvailable), dwRoom, READ_BLOCK_SIZE});
    char* pBlock = session.pReadBlock.get();
    DWORD dwRead = 0;
    if (!InternetReadFile(hUrl, pBlock, dwWanted, &dwRead)) {
        error = ErrorOf(GetLastError(), DownloadFailure::CONNECTION_LOST);
        return 0;
    }
    pRequest->sink.Append(pBlock, dwRead);
    return dwRead;
}

}  // namespace corvana
