#include "net/http_downloader.h"

#include <algorithm>
#include <charconv>
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

std::string DescribeTransfer(const TransferError& error, const std::string& url) {
    std::string cause = url + " (" + DescribeEndpoint(url) + "): " + DescribeFailure(error.kind);
    if (error.kind == DownloadFailure::HTTP_STATUS) {
        cause += " (HTTP " + std::to_string(error.nHttpStatus) + ")";
    }
    if (!error.detail.empty()) cause += ": " + error.detail;
    return cause;
}

std::optional<ContentRange> ReadContentRange(std::string_view text) {
    if (!text.starts_with("bytes ")) return std::nullopt;
    text.remove_prefix(6);
    uint64_t nValues[3] = {};
    for (int i = 0; i < 3; ++i) {
        const auto [pEnd, error] =
            std::from_chars(text.data(), text.data() + text.size(), nValues[i]);
        if (error != std::errc() || pEnd == text.data()) return std::nullopt;
        text.remove_prefix(static_cast<std::size_t>(pEnd - text.data()));
        if (i < 2) {
            if (text.empty() || text.front() != (i == 0 ? '-' : '/')) return std::nullopt;
            text.remove_prefix(1);
        }
    }
    const auto [nFirst, nLast, nTotal] = nValues;
    if (!text.empty() || nFirst > nLast || nLast >= nTotal) return std::nullopt;
    return ContentRange{nFirst, nLast, nTotal};
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

HttpDownloader::HttpDownloader() = default;

HttpDownloader::~HttpDownloader() {
    CloseUrl();
    CloseInternet();
}

bool HttpDownloader::OpenInternet() {
    CloseInternet();  // a root handle already there is replaced, not leaked
    m_hInternet = OpenSession(DOWNLOAD_AGENT, m_dwTimeoutMs);
    return m_hInternet != nullptr;
}

TransferError HttpDownloader::Fail(TransferError error) {
    if (m_failure.kind == DownloadFailure::NONE) m_failure = std::move(error);
    return m_failure;
}

void HttpDownloader::Reset() {
    CloseUrl();  // a URL left open by the caller is not leaked
    m_dwContentLength = 0;
    // Every byte after the received ones is already zero, so clearing those
    // empties the whole buffer without touching the rest of its 15 MiB.
    if (m_pData != nullptr) std::memset(m_pData.get(), 0, m_dwReceived);
    m_dwReceived = 0;
    m_dwLimit = DOWNLOAD_BUFFER_SIZE;
    m_failure = {};
    m_pStream = nullptr;
    m_nStreamLength = 0;
    m_nStreamed = 0;
}

Expected<uint64_t, TransferError> HttpDownloader::AnnouncedLength() {
    char szLength[32];
    if (!QueryContentLength(m_hUrl, szLength, sizeof szLength) || szLength[0] < '0' ||
        szLength[0] > '9') {
        return Fail({DownloadFailure::NO_LENGTH, 0, {}});
    }
    uint64_t nLength = 0;
    const char* pszEnd = szLength + std::strlen(szLength);
    if (std::from_chars(szLength, pszEnd, nLength).ec != std::errc()) {
        return Fail(
            {DownloadFailure::REFUSED_LENGTH, 0, std::string("announced ") + szLength + " bytes"});
    }
    return nLength;
}

Expected<uint32_t, TransferError> HttpDownloader::OpenUrl(const char* pszUrl) {
    Reset();
    // The buffer is made for the first body held in memory: a downloader that
    // only streams (a connection fetching ahead) never takes its address space.
    if (m_pData == nullptr) {
        m_pData.reset(static_cast<char*>(std::calloc(DOWNLOAD_BUFFER_SIZE + 1, 1)));
    }
    if (m_hInternet == nullptr) OpenInternet();
    if (m_hInternet == nullptr || m_pData == nullptr) {  // no session, or no memory for a body
        return Fail(
            {DownloadFailure::OPEN_FAILED, 0,
             m_pData == nullptr ? "no memory for the download buffer" : "no internet session"});
    }

    Expected<UrlRequest*, TransferError> opened = OpenRequest(m_hInternet, pszUrl, *this);
    if (!opened) {
        // The next operation that needs a root handle makes a new one.
        CloseInternet();
        return Fail(opened.GetFailure());
    }
    m_hUrl = *opened;

    const int nStatus = GetStatus(m_hUrl);
    if (nStatus >= 400) {  // an error page is never taken as the file
        CloseUrl();
        return Fail({DownloadFailure::HTTP_STATUS, nStatus, {}});
    }
    const Expected<uint64_t, TransferError> length = AnnouncedLength();
    if (!length) return length.GetFailure();
    if (*length > DOWNLOAD_BUFFER_SIZE) {
        if (TRANSPORT_CACHES_BODIES) {
            CloseUrl();
        } else {
            m_strRefusedUrl = pszUrl;
            m_nRefusedLength = *length;
        }
        return Fail({DownloadFailure::REFUSED_LENGTH, 0,
                     "announced " + std::to_string(*length) + " bytes, " +
                         std::to_string(DOWNLOAD_BUFFER_SIZE) + " at most"});
    }
    m_dwContentLength = static_cast<uint32_t>(*length);
    m_dwLimit = m_dwContentLength;
    m_pace.Start(GetTickCountMs());
    return m_dwContentLength;
}

Expected<StreamStart, TransferError> HttpDownloader::OpenStream(const char* pszUrl,
                                                                const RangeRequest& range,
                                                                BodySink& sink) {
    if (!range.IsPart() && m_hUrl != nullptr && !m_strRefusedUrl.empty() &&
        m_strRefusedUrl == pszUrl) {
        const uint64_t nLength = m_nRefusedLength;
        const int nStatus = GetStatus(m_hUrl);
        m_strRefusedUrl.clear();
        m_failure = {};
        return StartStream(nStatus, nLength, {}, sink);
    }
    Reset();
    if (m_hInternet == nullptr) OpenInternet();
    if (m_hInternet == nullptr) {
        return Fail({DownloadFailure::OPEN_FAILED, 0, "no internet session"});
    }
    // Without a validator nothing tells that the bytes kept are of the body
    // the server has now: the body is fetched whole.
    const RangeRequest asked = range.validator.empty() ? RangeRequest{} : range;
    Expected<UrlRequest*, TransferError> opened = OpenRequest(m_hInternet, pszUrl, *this, &asked);
    if (!opened) {
        CloseInternet();
        return Fail(opened.GetFailure());
    }
    m_hUrl = *opened;
    const int nStatus = GetStatus(m_hUrl);
    if (nStatus >= 400) {
        CloseUrl();
        return Fail({DownloadFailure::HTTP_STATUS, nStatus, {}});
    }
    const Expected<uint64_t, TransferError> length = AnnouncedLength();
    if (!length) return length.GetFailure();
    return StartStream(nStatus, *length, asked, sink);
}

Expected<StreamStart, TransferError> HttpDownloader::StartStream(int nStatus, uint64_t nLength,
                                                                 const RangeRequest& asked,
                                                                 BodySink& sink) {
    // A strong entity tag names one version of the body; a weak one may not be
    // sent in If-Range, where the modification date serves instead.
    StreamStart start{0, nLength, QueryHeader(m_hUrl, ResponseHeader::ETAG)};
    if (start.validator.empty() || start.validator.starts_with("W/")) {
        start.validator = QueryHeader(m_hUrl, ResponseHeader::LAST_MODIFIED);
    }
    if (nStatus == 206) {
        const std::string rangeText = QueryHeader(m_hUrl, ResponseHeader::CONTENT_RANGE);
        const std::optional<ContentRange> part = ReadContentRange(rangeText);
        if (!part || part->nFirst != asked.nFrom ||
            part->nLast + 1 != (asked.nTo > 0 ? asked.nTo : part->nTotal) ||
            part->nLast + 1 - part->nFirst != nLength) {
            CloseUrl();
            return Fail(
                {DownloadFailure::OPEN_FAILED, 0,
                 "a part that is not the one asked for (Content-Range: " + rangeText + ")"});
        }
        start.nFrom = part->nFirst;
        start.nTotal = part->nTotal;
    }
    m_pStream = &sink;
    m_nStreamLength = nLength;
    m_pace.Start(GetTickCountMs());
    return start;
}

Expected<uint32_t, TransferError> HttpDownloader::ReadChunk() {
    if (m_failure.kind != DownloadFailure::NONE) return m_failure;
    if (m_hUrl == nullptr) return uint32_t{0};
    const Expected<uint32_t, TransferError> received = ReceiveAvailable(m_hUrl);
    if (!received) return Fail(received.GetFailure());
    const uint32_t dwCount = *received;
    const uint64_t nHave = m_pStream != nullptr ? m_nStreamed : m_dwReceived;
    const uint64_t nWanted = m_pStream != nullptr ? m_nStreamLength : m_dwContentLength;
    if (dwCount != 0 && nHave < nWanted && m_pace.Stalled(GetTickCountMs(), nHave)) {
        return Fail({DownloadFailure::STALLED, 0,
                     "fewer than " + std::to_string(STALL_MIN_BYTES) + " bytes in " +
                         std::to_string(STALL_WINDOW_MS / 1000) + " s"});
    }
    if (dwCount == 0 && nHave < nWanted) {
        return Fail({DownloadFailure::SHORT_BODY, 0,
                     std::to_string(nHave) + " of " + std::to_string(nWanted) + " bytes"});
    }
    return dwCount;
}

uint32_t HttpDownloader::Room() const {
    if (m_pStream != nullptr) {
        return static_cast<uint32_t>(std::min<uint64_t>(m_nStreamLength - m_nStreamed, UINT32_MAX));
    }
    return m_dwLimit - m_dwReceived;
}

void HttpDownloader::Append(const char* pData, uint32_t dwSize) {
    if (m_pStream != nullptr) {
        m_pStream->Append(pData, dwSize);
        m_nStreamed += dwSize;
        return;
    }
    std::memcpy(m_pData.get() + m_dwReceived, pData, dwSize);
    m_dwReceived += dwSize;
}

Expected<std::string, TransferError> HttpDownloader::DownloadToMemory(const char* pszUrl) {
    if (m_hInternet == nullptr) OpenInternet();
    Expected<uint32_t, TransferError> length = OpenUrl(pszUrl);
    for (uint32_t dwSum = 0; length && dwSum < *length;) {
        const Expected<uint32_t, TransferError> chunk = ReadChunk();
        if (!chunk) {
            length = chunk.GetFailure();
        } else if (*chunk == 0) {
            break;  // the response ended: ReadChunk has said so if it was short
        } else {
            dwSum += *chunk;
        }
    }
    CloseUrl();
    if (!length) {  // never a part of a body
        if (m_pData != nullptr) std::memset(m_pData.get(), 0, m_dwReceived);
        m_dwReceived = 0;
        return length.GetFailure();
    }
    return std::string(m_pData != nullptr ? m_pData.get() : "");
}

bool HttpDownloader::CloseUrl() {
    m_strRefusedUrl.clear();
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
