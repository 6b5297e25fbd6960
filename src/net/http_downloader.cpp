#include "net/http_downloader.h"

#include <cstring>

#include "archive/zip_extractor.h"
#include "platform/files.h"
#include "run/text.h"

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
    }
    return "unknown failure";
}

uint32_t ReadDecimalLength(const char* pszText) {
    uint64_t nValue = 0;
    for (; *pszText >= '0' && *pszText <= '9'; ++pszText) {
        nValue = nValue * 10 + static_cast<uint64_t>(*pszText - '0');
        if (nValue > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(nValue);
}

HttpDownloader::~HttpDownloader() {
    CloseUrl();
    CloseInternet();
}

bool HttpDownloader::OpenInternet() {
    CloseInternet();  // a root handle already there is replaced, not leaked
    m_hInternet = OpenSession(DOWNLOAD_AGENT, m_dwTimeoutMs);
    return m_hInternet != nullptr;
}

void HttpDownloader::Fail(DownloadFailure failure) {
    if (m_nFailure == DownloadFailure::NONE) m_nFailure = failure;
}

uint32_t HttpDownloader::OpenUrl(const char* pszUrl) {
    CloseUrl();  // a URL left open by the caller is not leaked
    m_dwContentLength = 0;
    // Every byte after the received ones is already zero, so clearing those
    // empties the whole buffer without touching the rest of its 15 MiB.
    std::memset(m_szData, 0, m_dwReceived);
    m_dwReceived = 0;
    m_nFailure = DownloadFailure::NONE;
    m_nHttpStatus = 0;

    if (m_hInternet == nullptr) OpenInternet();
    if (m_hInternet == nullptr) {
        Fail(DownloadFailure::OPEN_FAILED);
        return 0;
    }

    DownloadFailure failure = DownloadFailure::NONE;
    const ReceiveTarget target{m_szData, DOWNLOAD_BUFFER_SIZE, m_szChunk, DOWNLOAD_BUFFER_SIZE};
    m_hUrl = OpenRequest(m_hInternet, pszUrl, target, failure);
    if (m_hUrl == nullptr) {
        // The next operation that needs a root handle makes a new one.
        CloseInternet();
        Fail(failure);
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
        Fail(DownloadFailure::REFUSED_LENGTH);
        CloseUrl();
        return 0;
    }
    m_dwContentLength = dwLength;
    return m_dwContentLength;
}

uint32_t HttpDownloader::ReadChunk() {
    if (m_hUrl == nullptr || m_nFailure != DownloadFailure::NONE) return 0;
    DownloadFailure failure = DownloadFailure::NONE;
    const uint32_t dwCount = ReceiveAvailable(m_hUrl, m_dwReceived, m_dwContentLength, failure);
    if (failure != DownloadFailure::NONE) {
        Fail(failure);
        return 0;
    }
    if (dwCount == 0 && m_dwReceived < m_dwContentLength) Fail(DownloadFailure::SHORT_BODY);
    m_dwReceived += dwCount;
    return dwCount;
}

const char* HttpDownloader::DownloadToMemory(const char* pszUrl) {
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
        std::memset(m_szData, 0, m_dwReceived);
        m_dwReceived = 0;
    }
    return m_szData;
}

bool HttpDownloader::SaveToFile(const char* pszPath) {
    // Only a complete body is written: zeros in place of missing bytes would be
    // a corrupt file that looks whole.
    if (m_nFailure != DownloadFailure::NONE || m_dwReceived != m_dwContentLength) return false;
    return WriteWholeFile(pszPath, m_szData, m_dwContentLength, true);
}

bool HttpDownloader::CloseUrl() {
    if (m_hUrl == nullptr) return false;
    CloseRequest(m_hUrl);
    m_hUrl = nullptr;
    return true;
}

bool HttpDownloader::CloseInternet() {
    if (m_hInternet == nullptr) return false;
    CloseSession(m_hInternet);
    m_hInternet = nullptr;
    return true;
}

}  // namespace corvana

namespace corvana {

bool HttpDownloader::UnzipFile(const char* pszPath, bool* pbExtracted) {
    if (pbExtracted != nullptr) *pbExtracted = false;
    if (!EndsWithNoCaseMbcs(pszPath, "zip")) return false;
    ZipExtractor extractor;
    extractor.Open(pszPath, false);
    const bool bExtracted = extractor.ExtractAll(false);
    extractor.Close();
    if (pbExtracted != nullptr) *pbExtracted = bExtracted;
    return true;
}

}  // namespace corvana
