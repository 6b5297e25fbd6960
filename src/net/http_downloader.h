// The one object that fetches a URL into a fixed memory buffer and writes it to disk.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "net/fetcher.h"
#include "net/transport.h"

namespace corvana {

inline constexpr uint32_t DOWNLOAD_BUFFER_SIZE = 15728640;  // the largest body held
inline constexpr uint32_t DOWNLOAD_TIMEOUT_MS = 30000;
inline constexpr const char* DOWNLOAD_AGENT = "ZODOD";
// The lowest speed: a body that receives fewer bytes than this in any window of
// this length has stalled, however often a byte arrives.
inline constexpr uint32_t STALL_WINDOW_MS = 60000;
inline constexpr uint64_t STALL_MIN_BYTES = 1024;

// Watches a transfer's pace against the lowest speed.
class StallWatch {
public:
    // The transfer starts at dwNowMs (a tick count) with nothing received.
    void Start(uint32_t dwNowMs);
    // Notes the bytes received so far at dwNowMs; true once fewer than
    // STALL_MIN_BYTES arrived in the last STALL_WINDOW_MS.
    bool Stalled(uint32_t dwNowMs, uint64_t nTotal);

private:
    struct Sample {
        uint32_t dwTime;
        uint64_t nTotal;
    };
    std::deque<Sample> m_samples;  // oldest first; the first lies at or before the window
};

class HttpDownloader : public Fetcher, private BodySink {
public:
    HttpDownloader();
    ~HttpDownloader() override;
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    bool OpenInternet() override;
    uint32_t OpenUrl(const char* pszUrl) override;
    uint32_t ReadChunk() override;
    std::string DownloadToMemory(const char* pszUrl) override;
    bool CloseUrl() override;
    bool CloseInternet() override;

    DownloadFailure GetFailure() const override { return m_nFailure; }
    const std::string& GetFailureDetail() const override { return m_strFailureDetail; }
    int GetHttpStatus() const override { return m_nHttpStatus; }
    uint32_t GetReceived() const { return m_dwReceived; }
    uint32_t GetContentLength() const { return m_dwContentLength; }
    // The received bytes, followed by a zero byte (no bytes when the buffer could
    // not be allocated: then every URL fails to open).
    std::string_view GetBody() const override { return {m_pData.get(), m_dwReceived}; }
    // Time-out for connecting and for a transfer that receives nothing (tests shorten it).
    void SetTimeout(uint32_t dwTimeoutMs) { m_dwTimeoutMs = dwTimeoutMs; }

private:
    struct FreeBuffer {
        void operator()(char* pData) const;
    };

    void Fail(DownloadFailure failure, std::string detail = {});
    // The body arrives here, after the bytes already received.
    uint32_t Room() const override;
    void Append(const char* pData, uint32_t dwSize) override;

    // One byte more than the largest body, so the text form always ends in a zero.
    // Allocated zeroed, so its pages cost nothing until a body fills them; every
    // byte after the received ones is kept zero.
    std::unique_ptr<char[], FreeBuffer> m_pData;
    uint32_t m_dwReceived = 0;
    uint32_t m_dwLimit = DOWNLOAD_BUFFER_SIZE;  // the most body bytes taken
    uint32_t m_dwContentLength = 0;
    InternetSession* m_hInternet = nullptr;
    UrlRequest* m_hUrl = nullptr;
    DownloadFailure m_nFailure = DownloadFailure::NONE;
    std::string m_strFailureDetail;
    int m_nHttpStatus = 0;
    uint32_t m_dwTimeoutMs = DOWNLOAD_TIMEOUT_MS;
    StallWatch m_pace;
};

// The decimal number at the start of text (digits only, stopping at the first
// other character); values above the 32-bit range give the largest one.
uint32_t ReadDecimalLength(const char* pszText);

}  // namespace corvana
