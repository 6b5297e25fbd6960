#include "net/http_downloader.h"

#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace corvana {

const char* DescribeFailure(DownloadFailure failure) {
    switch (failure) {
        case DownloadFailure::NONE:
            return "no failure";
        case DownloadFailure::OPEN_FAILED:
            return "the URL could not be opened";
        case DownloadFailure::REDIRECT:
            return "too many redirects, or a redirect to another scheme";
        case DownloadFailure::HTTP_STATUS:
            return "the server answered with an error status";
        case DownloadFailure::NO_LENGTH:
            return "the response announced no length";
        case DownloadFailure::REFUSED_LENGTH:
            return "the announced length is above the buffer size";
        case DownloadFailure::TIMED_OUT:
            return "the server did not answer in time";
        case DownloadFailure::CONNECTION_LOST:
            return "the connection was lost";
        case DownloadFailure::SHORT_BODY:
            return "the response ended before its announced length";
        case DownloadFailure::TOO_LONG:
            return "the response is longer than the buffer";
        case DownloadFailure::CERTIFICATE:
            return "the server's certificate could not be verified";
        case DownloadFailure::STALLED:
            return "the transfer stalled";
    }
    return "unknown failure";
}

std::string DescribeEndpoint(std::string_view url) {
    const bool bSecure = EqualsNoCase(url.substr(0, 8), "https://");
    if (const std::size_t nScheme = url.find("://"); nScheme != std::string_view::npos) {
        url.remove_prefix(nScheme + 3);
    }
    const std::string_view authority = url.substr(0, url.find_first_of("/?#"));
    // A bracketed IPv6 address keeps its colons; the port follows the bracket.
    const std::size_t nHostEnd = authority.starts_with('[') ? authority.find(']') + 1 : 0;
    const std::size_t nColon = authority.find(':', nHostEnd);
    const std::string_view host = authority.substr(0, nColon);
    const std::string port = nColon != std::string_view::npos
                                 ? std::string(authority.substr(nColon + 1))
                                 : (bSecure ? "443" : "80");
    return "host " + std::string(host) + ", port " + port;
}

std::string DescribeDownload(const Fetcher& fetcher, const std::string& url) {
    std::string cause =
        url + " (" + DescribeEndpoint(url) + "): " + DescribeFailure(fetcher.GetFailure());
    if (fetcher.GetFailure() == DownloadFailure::HTTP_STATUS) {
        cause += " (HTTP " + std::to_string(fetcher.GetHttpStatus()) + ")";
    }
    if (!fetcher.GetFailureDetail().empty()) cause += ": " + fetcher.GetFailureDetail();
    return cause;
}

uint32_t ReadDecimalLength(const char* pszText) {
    uint64_t nValue = 0;
    for (; *pszText >= '0' && *pszText <= '9'; ++pszText) {
        nValue = nValue * 10 + static_cast<uint64_t>(*pszText - '0');
        if (nValue > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(nValue);
}

void StallWatch::Start(uint32_t dwNowMs) { m_samples.assign(1, Sample{dwNowMs, 0}); }

bool StallWatch::Stalled(uint32_t dwNowMs, uint64_t nTotal) {
    if (m_samples.empty()) Start(dwNowMs);
    if (m_samples.back().dwTime == dwNowMs) {
        m_samples.back().nTotal = nTotal;
    } else {
        m_samples.push_back({dwNowMs, nTotal});
    }
    // The first sample kept is the newest one at or before the window's start, so
    // the bytes counted took at least the window's length.
    while (m_samples.size() > 1 && dwNowMs - m_samples[1].dwTime >= STALL_WINDOW_MS) {
        m_samples.pop_front();
    }
    const Sample& first = m_samples.front();
    return dwNowMs - first.dwTime >= STALL_WINDOW_MS && nTotal - first.nTotal < STALL_MIN_BYTES;
}

void HttpDownloader::FreeBuffer::operator()(char* pData) const { std::free(pData); }

HttpDownloader::HttpDownloader()
    : m_pData(static_cast<char*>(std::calloc(DOWNLOAD_BUFFER_SIZE + 1, 1))) {}

HttpDownloader::~HttpDownloader() {
    CloseUrl();
    CloseInternet();
}

bool HttpDownloader::OpenInternet() {
    CloseInternet();  // a root handle already there is replaced, not leaked
    m_hInternet = OpenSession(DOWNLOAD_AGENT, m_dwTimeoutMs);
    return m_hInternet != nullptr;
}

void HttpDownloader::Fail(DownloadFailure failure, std::string detail) {
    if (m_nFailure != DownloadFailure::NONE) return;
    m_nFailure = failure;
    m_strFailureDetail = std::move(detail);
}

uint32_t HttpDownloader::OpenUrl(const char* pszUrl) {
    CloseUrl();  // a URL left open by the caller is not leaked
    m_dwContentLength = 0;
    // Every byte after the received ones is already zero, so clearing those
    // empties the whole buffer without touching the rest of its 15 MiB.
    std::memset(m_pData.get(), 0, m_dwReceived);
    m_dwReceived = 0;
    m_dwLimit = DOWNLOAD_BUFFER_SIZE;
    m_nFailure = DownloadFailure::NONE;
    m_strFailureDetail.clear();
    m_nHttpStatus = 0;

    if (m_hInternet == nullptr) OpenInternet();
    if (m_hInternet == nullptr || m_pData == nullptr) {  // no session, or no memory for a body
        Fail(DownloadFailure::OPEN_FAILED,
             m_pData == nullptr ? "no memory for the download buffer" : "no internet session");
        return 0;
    }

    TransferError error;
    m_hUrl = OpenRequest(m_hInternet, pszUrl, *this, error);
    if (m_hUrl == nullptr) {
        // The next operation that needs a root handle makes a new one.
        CloseInternet();
        Fail(error.kind, std::move(error.detail));
        return 0;
    }

    m_nHttpStatus = GetStatus(m_hUrl);
    if (m_nHttpStatus >= 400) {  // an error page is never taken as the file
        Fail(DownloadFailure::HTTP_STATUS);
        CloseUrl();
        return 0;
    }

    char szLength[32];
    if (!QueryContentLength(m_hUrl, szLength, sizeof szLength) || szLength[0] < '0' ||
        szLength[0] > '9') {
        Fail(DownloadFailure::NO_LENGTH);
        return 0;
    }
    const uint32_t dwLength = ReadDecimalLength(szLength);
    if (dwLength > DOWNLOAD_BUFFER_SIZE) {
        Fail(DownloadFailure::REFUSED_LENGTH, std::string("announced ") + szLength + " bytes, " +
                                                  std::to_string(DOWNLOAD_BUFFER_SIZE) +
                                                  " at most");
        CloseUrl();
        return 0;
    }
    m_dwContentLength = dwLength;
    m_dwLimit = dwLength;
    m_pace.Start(GetTickCountMs());
    return m_dwContentLength;
}

uint32_t HttpDownloader::ReadChunk() {
    if (m_hUrl == nullptr || m_nFailure != DownloadFailure::NONE) return 0;
    TransferError error;
    const uint32_t dwCount = ReceiveAvailable(m_hUrl, error);
    if (error.kind != DownloadFailure::NONE) {
        Fail(error.kind, std::move(error.detail));
        return 0;
    }
    if (dwCount != 0 && m_dwReceived < m_dwContentLength &&
        m_pace.Stalled(GetTickCountMs(), m_dwReceived)) {
        Fail(DownloadFailure::STALLED, "fewer than " + std::to_string(STALL_MIN_BYTES) +
                                           " bytes in " + std::to_string(STALL_WINDOW_MS / 1000) +
                                           " s");
        return 0;
    }
    if (dwCount == 0 && m_dwReceived < m_dwContentLength) {
        Fail(DownloadFailure::SHORT_BODY,
             std::to_string(m_dwReceived) + " of " + std::to_string(m_dwContentLength) + " bytes");
    }
    return dwCount;
}

uint32_t HttpDownloader::Room() const { return m_dwLimit - m_dwReceived; }

void HttpDownloader::Append(const char* pData, uint32_t dwSize) {
    std::memcpy(m_pData.get() + m_dwReceived, pData, dwSize);
    m_dwReceived += dwSize;
}

std::string HttpDownloader::DownloadToMemory(const char* pszUrl) {
    if (m_hInternet == nullptr) OpenInternet();
    const uint32_t dwLength = OpenUrl(pszUrl);
    if (dwLength >= 1) {
        uint32_t dwSum = 0;
        do {
            dwSum += ReadChunk();
        } while (dwSum < dwLength && m_nFailure == DownloadFailure::NONE);
    }
    CloseUrl();
    if (m_nFailure != DownloadFailure::NONE) {  // never a part of a body
        std::memset(m_pData.get(), 0, m_dwReceived);
        m_dwReceived = 0;
    }
    return m_pData != nullptr ? m_pData.get() : "";
}

bool HttpDownloader::CloseUrl() {
    if (m_hUrl == nullptr) return false;
    CloseRequest(m_hUrl);
    m_hUrl = nullptr;
    return true;
}

bool HttpDownloader::CloseInternet() {
    CloseUrl();  // a URL belongs to its session: it never outlives it
    if (m_hInternet == nullptr) return false;
    CloseSession(m_hInternet);
    m_hInternet = nullptr;
    return true;
}

}  // namespace corvana
