// libcurl transport over the multi interface, driven by its caller: opening a
// request runs the transfer until the final headers are in, and each receive
// runs it until new body bytes have arrived or the transfer has ended. The write
// callback appends straight into the caller's buffer.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "net/transport.h"
#include "platform/files.h"

namespace corvana {

using Clock = std::chrono::steady_clock;

struct InternetSession {
    CURLM* pMulti;
    std::string strAgent;
    uint32_t dwTimeoutMs;
};

struct UrlRequest {
    UrlRequest(InternetSession* pOwner, CURL* pHandle, BodySink& bodySink)
        : pSession(pOwner), pEasy(pHandle), sink(bodySink) {}

    InternetSession* pSession;
    CURL* pEasy;
    BodySink& sink;
    uint64_t nWritten = 0;      // body bytes handed to the sink
    bool bReceiving = false;    // the caller has asked for the body
    bool bTooLong = false;      // the body did not fit
    bool bHeadersDone = false;  // the final response's headers are in
    bool bLocation = false;     // the current header block has a Location
    bool bDone = false;         // the transfer has ended
    CURLcode nResult = CURLE_OK;
    char szError[CURL_ERROR_SIZE] = {};  // libcurl's words for the failure
    std::string strContentLength;
    std::string strContentRange;
    std::string strEtag;
    std::string strLastModified;
    curl_slist* pHeaders = nullptr;  // the request's own headers, if any
    Clock::time_point lastActivity = Clock::now();
};

namespace {

void InitialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string_view TrimHeaderValue(std::string_view value) {
    const std::size_t nStart = value.find_first_not_of(" \t");
    if (nStart == std::string_view::npos) return {};
    const std::size_t nEnd = value.find_last_not_of(" \t\r\n");
    return value.substr(nStart, nEnd - nStart + 1);
}

bool HasName(std::string_view line, std::string_view name) {
    return line.size() >= name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0;
}

size_t OnHeader(char* pBuffer, size_t nSize, size_t nCount, void* pUser) {
    auto* pRequest = static_cast<UrlRequest*>(pUser);
    const std::string_view line(pBuffer, nSize * nCount);
    pRequest->lastActivity = Clock::now();
    if (line.starts_with("HTTP/")) {  // a new response (after a redirect or 1xx)
        pRequest->strContentLength.clear();
        pRequest->strContentRange.clear();
        pRequest->strEtag.clear();
        pRequest->strLastModified.clear();
        pRequest->bLocation = false;
    } else if (HasName(line, "content-length:")) {
        pRequest->strContentLength = TrimHeaderValue(line.substr(15));
    } else if (HasName(line, "content-range:")) {
        pRequest->strContentRange = TrimHeaderValue(line.substr(14));
    } else if (HasName(line, "etag:")) {
        pRequest->strEtag = TrimHeaderValue(line.substr(5));
    } else if (HasName(line, "last-modified:")) {
        pRequest->strLastModified = TrimHeaderValue(line.substr(14));
    } else if (HasName(line, "location:")) {
        pRequest->bLocation = true;
    } else if (line == "\r\n" || line == "\n") {
        long nStatus = 0;
        curl_easy_getinfo(pRequest->pEasy, CURLINFO_RESPONSE_CODE, &nStatus);
        const bool bFollowed = nStatus / 100 == 3 && pRequest->bLocation;
        if (nStatus >= 200 && !bFollowed) pRequest->bHeadersDone = true;
    }
    return nSize * nCount;
}

size_t OnBody(char* pBuffer, size_t nSize, size_t nCount, void* pUser) {
    auto* pRequest = static_cast<UrlRequest*>(pUser);
    const size_t nBytes = nSize * nCount;
    // Until the caller asks for the body, curl keeps it: nothing of a response
    // that is refused at its headers ever reaches the buffer.
    if (!pRequest->bReceiving) return CURL_WRITEFUNC_PAUSE;
    pRequest->lastActivity = Clock::now();
    if (nBytes > pRequest->sink.Room()) {
        pRequest->bTooLong = true;
        return CURL_WRITEFUNC_ERROR;
    }
    pRequest->sink.Append(pBuffer, static_cast<uint32_t>(nBytes));
    pRequest->nWritten += nBytes;
    return nBytes;
}

DownloadFailure KindFromResult(const UrlRequest& request) {
    if (request.bTooLong) return DownloadFailure::TOO_LONG;
    switch (request.nResult) {
        case CURLE_OK:
            return DownloadFailure::NONE;
        case CURLE_OPERATION_TIMEDOUT:
            return DownloadFailure::TIMED_OUT;
        case CURLE_TOO_MANY_REDIRECTS:
            return DownloadFailure::REDIRECT;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return request.bLocation ? DownloadFailure::REDIRECT : DownloadFailure::OPEN_FAILED;
        case CURLE_PARTIAL_FILE:
            return DownloadFailure::SHORT_BODY;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return DownloadFailure::CERTIFICATE;
        default:
            return request.bHeadersDone ? DownloadFailure::CONNECTION_LOST
                                        : DownloadFailure::OPEN_FAILED;
    }
}

// The failure of a transfer that has ended, or of one that received nothing
// for the time-out (bInTime false).
TransferError ErrorOf(const UrlRequest& request, bool bInTime) {
    TransferError error;
    if (!bInTime) {
        error.kind = DownloadFailure::TIMED_OUT;
        error.detail =
            "nothing received for " + std::to_string(request.pSession->dwTimeoutMs / 1000) + " s";
        return error;
    }
    error.kind = KindFromResult(request);
    if (request.bTooLong) return error;
    error.detail =
        request.szError[0] != '\0' ? request.szError : curl_easy_strerror(request.nResult);
    long nErrno = 0;
    curl_easy_getinfo(request.pEasy, CURLINFO_OS_ERRNO, &nErrno);
    if (nErrno != 0) {
        error.detail += " (" + SystemErrorText(static_cast<unsigned long>(nErrno)) + ")";
    }
    return error;
}

// Runs the transfer until stop() holds or it has ended; false when nothing
// arrived for the session's time-out.
template <typename Stop>
bool Drive(UrlRequest& request, Stop stop) {
    CURLM* pMulti = request.pSession->pMulti;
    const auto timeout = std::chrono::milliseconds(request.pSession->dwTimeoutMs);
    for (;;) {
        int nRunning = 0;
        curl_multi_perform(pMulti, &nRunning);
        int nQueued = 0;
        while (CURLMsg* pMessage = curl_multi_info_read(pMulti, &nQueued)) {
            if (pMessage->msg == CURLMSG_DONE && pMessage->easy_handle == request.pEasy) {
                request.bDone = true;
                request.nResult = pMessage->data.result;
            }
        }
        if (stop() || request.bDone) return true;
        const auto idle = Clock::now() - request.lastActivity;
        if (idle >= timeout) return false;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(timeout - idle);
        curl_multi_poll(pMulti, nullptr, 0,
                        static_cast<int>(std::min<long long>(wait.count(), 1000)), nullptr);
    }
}

}  // namespace

const bool TRANSPORT_CACHES_BODIES = false;

InternetSession* OpenSession(const char* pszAgent, uint32_t dwTimeoutMs) {
    InitialiseCurlOnce();
    CURLM* pMulti = curl_multi_init();
    if (pMulti == nullptr) return nullptr;
    return new InternetSession{pMulti, pszAgent, dwTimeoutMs};
}

void CloseSession(InternetSession* pSession) {
    curl_multi_cleanup(pSession->pMulti);
    delete pSession;
}

Expected<UrlRequest*, TransferError> OpenRequest(InternetSession* pSession, const char* pszUrl,
                                                 BodySink& sink, const RangeRequest* pRange) {
    CURL* pEasy = curl_easy_init();
    if (pEasy == nullptr) {
        return TransferError{DownloadFailure::OPEN_FAILED, 0, "libcurl could not make a transfer"};
    }
    auto* pRequest = new UrlRequest{pSession, pEasy, sink};
    curl_easy_setopt(pEasy, CURLOPT_URL, pszUrl);
    curl_easy_setopt(pEasy, CURLOPT_USERAGENT, pSession->strAgent.c_str());
    curl_easy_setopt(pEasy, CURLOPT_PROXY, "");  // direct, whatever the environment says
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pEasy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(pEasy, CURLOPT_MAXREDIRS, static_cast<long>(MAX_REDIRECTS));
    // A secure request stays secure: its redirects go to https only.
    const bool bSecure = strncasecmp(pszUrl, "https://", 8) == 0;
    curl_easy_setopt(pEasy, CURLOPT_REDIR_PROTOCOLS_STR, bSecure ? "https" : "http,https");
    const char* pszCaFile = std::getenv("CORVANA_CA_FILE");
    if (pszCaFile != nullptr && *pszCaFile != '\0') {
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, pszCaFile);
    }
    curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(pSession->dwTimeoutMs));
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_ERRORBUFFER, pRequest->szError);
    curl_easy_setopt(pEasy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(pEasy, CURLOPT_HEADERDATA, pRequest);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, pRequest);
    if (pRange != nullptr && pRange->IsPart()) {
        const std::string range = pRange->Text().substr(6);     // without "bytes="
        curl_easy_setopt(pEasy, CURLOPT_RANGE, range.c_str());  // copied by libcurl
        if (!pRange->validator.empty()) {
            pRequest->pHeaders =
                curl_slist_append(nullptr, ("If-Range: " + pRange->validator).c_str());
            curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, pRequest->pHeaders);
        }
    }
    curl_multi_add_handle(pSession->pMulti, pEasy);

    const bool bInTime = Drive(*pRequest, [&] { return pRequest->bHeadersDone; });
    if (!pRequest->bHeadersDone) {
        TransferError error = ErrorOf(*pRequest, bInTime);
        if (error.kind == DownloadFailure::NONE) error.kind = DownloadFailure::OPEN_FAILED;
        CloseRequest(pRequest);
        return error;
    }
    return pRequest;
}

void CloseRequest(UrlRequest* pRequest) {
    curl_multi_remove_handle(pRequest->pSession->pMulti, pRequest->pEasy);
    curl_easy_cleanup(pRequest->pEasy);
    curl_slist_free_all(pRequest->pHeaders);
    delete pRequest;
}

int GetStatus(UrlRequest* pRequest) {
    long nStatus = 0;
    curl_easy_getinfo(pRequest->pEasy, CURLINFO_RESPONSE_CODE, &nStatus);
    return static_cast<int>(nStatus);
}

bool QueryContentLength(UrlRequest* pRequest, char* pszBuffer, uint32_t dwSize) {
    const std::string& length = pRequest->strContentLength;
    if (length.empty() || length.size() >= dwSize) return false;
    std::memcpy(pszBuffer, length.c_str(), length.size() + 1);
    return true;
}

std::string QueryHeader(UrlRequest* pRequest, ResponseHeader header) {
    switch (header) {
        case ResponseHeader::CONTENT_RANGE:
            return pRequest->strContentRange;
        case ResponseHeader::ETAG:
            return pRequest->strEtag;
        case ResponseHeader::LAST_MODIFIED:
            return pRequest->strLastModified;
    }
    return {};
}

Expected<uint32_t, TransferError> ReceiveAvailable(UrlRequest* pRequest) {
    const uint64_t nOffset = pRequest->nWritten;
    if (!pRequest->bReceiving) {
        pRequest->bReceiving = true;
        pRequest->lastActivity = Clock::now();
        curl_easy_pause(pRequest->pEasy, CURLPAUSE_CONT);
    }
    const bool bInTime = Drive(*pRequest, [&] { return pRequest->nWritten > nOffset; });
    if (pRequest->nWritten > nOffset) return static_cast<uint32_t>(pRequest->nWritten - nOffset);
    const TransferError error = ErrorOf(*pRequest, bInTime);
    if (error.kind != DownloadFailure::NONE) return error;
    return uint32_t{0};
}

}  // namespace corvana
