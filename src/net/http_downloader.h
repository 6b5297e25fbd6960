// The one object that fetches a URL into a fixed memory buffer and writes it to disk.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
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
    Expected<uint32_t, TransferError> OpenUrl(const char* pszUrl) override;
    Expected<uint32_t, TransferError> ReadChunk() override;
    Expected<StreamStart, TransferError> OpenStream(const char* pszUrl, const RangeRequest& range,
                                                    BodySink& sink) override;
    Expected<std::string, TransferError> DownloadToMemory(const char* pszUrl) override;
    bool CloseUrl() override;
    bool CloseInternet() override;

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

    // Keeps the first failure of the current download and returns it.
    TransferError Fail(TransferError error);
    // Closes the URL and empties the body for the next request.
    void Reset();
    // The opened response's announced length, when it has one.
    Expected<uint64_t, TransferError> AnnouncedLength();
    // The opened response (status nStatus, nLength bytes, asked for the part
    // asked) taken as a streamed body going to sink.
    Expected<StreamStart, TransferError> StartStream(int nStatus, uint64_t nLength,
                                                     const RangeRequest& asked, BodySink& sink);
    // The body arrives here, after the bytes already received.
    uint32_t Room() const override;
    void Append(const char* pData, uint32_t dwSize) override;

    // One byte more than the largest body, so the text form always ends in a zero.
    // Allocated zeroed by the first OpenUrl, so its pages cost nothing until a
    // body fills them; every byte after the received ones is kept zero.
    std::unique_ptr<char[], FreeBuffer> m_pData;
    uint32_t m_dwReceived = 0;
    uint32_t m_dwLimit = DOWNLOAD_BUFFER_SIZE;  // the most body bytes taken
    uint32_t m_dwContentLength = 0;
    InternetSession* m_hInternet = nullptr;
    UrlRequest* m_hUrl = nullptr;
    TransferError m_failure;  // the current download's; its kind is NONE while it has not failed
    uint32_t m_dwTimeoutMs = DOWNLOAD_TIMEOUT_MS;
    StallWatch m_pace;
    // A streamed body: where it goes, how long this response's part of it is,
    // and how much of that has arrived.
    BodySink* m_pStream = nullptr;
    uint64_t m_nStreamLength = 0;
    uint64_t m_nStreamed = 0;
    // A response refused as too long to hold stays open, unread, for the
    // stream of the same URL that follows: no second request, no byte twice.
    std::string m_strRefusedUrl;
    uint64_t m_nRefusedLength = 0;
};

// Where a 206 response's part lies: its first byte and the whole body's length,
// from a Content-Range of the form "bytes FIRST-LAST/TOTAL"; nothing for any
// other form.
struct ContentRange {
    uint64_t nFirst = 0;
    uint64_t nLast = 0;
    uint64_t nTotal = 0;
};
std::optional<ContentRange> ReadContentRange(std::string_view text);

}  // namespace corvana
