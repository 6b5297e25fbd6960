// The one object that fetches a URL into a fixed memory buffer and writes it to disk.
#pragma once

#include <cstdint>

#include "net/transport.h"

namespace corvana {

inline constexpr uint32_t DOWNLOAD_BUFFER_SIZE = 15728640;  // the largest body held
inline constexpr uint32_t DOWNLOAD_TIMEOUT_MS = 30000;
inline constexpr const char* DOWNLOAD_AGENT = "ZODOD";

class HttpDownloader {
public:
    // Constant-initialised: a static downloader is zero from the start, its 30 MiB
    // untouched until used.
    constexpr HttpDownloader() = default;
    virtual ~HttpDownloader();
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    bool OpenInternet();
    // Opens a URL and returns its announced body length; 0 when none or on failure.
    uint32_t OpenUrl(const char* pszUrl);
    // Appends what has arrived of the body; 0 at its end, without a URL or after a failure.
    uint32_t ReadChunk();
    // The whole body as a zero-terminated text; empty when the download failed.
    const char* DownloadToMemory(const char* pszUrl);
    // Writes the body of the last download (hidden on Windows); false when that
    // download was not complete or the file could not be written whole.
    bool SaveToFile(const char* pszPath);
    bool CloseUrl();
    bool CloseInternet();

    // Unpacks a saved archive into the folder that holds it when the path ends in
    // "zip" (any case). The result says only whether the file was taken as an
    // archive; *pbExtracted, when given, says whether every item was unpacked.
    bool UnzipFile(const char* pszPath, bool* pbExtracted = nullptr);

    // Why the current download failed; NONE while it has not.
    DownloadFailure GetFailure() const { return m_nFailure; }
    int GetHttpStatus() const { return m_nHttpStatus; }
    uint32_t GetReceived() const { return m_dwReceived; }
    uint32_t GetContentLength() const { return m_dwContentLength; }
    const char* GetData() const { return m_szData; }
    // Time-out for connecting and for a transfer that receives nothing (tests shorten it).
    void SetTimeout(uint32_t dwTimeoutMs) { m_dwTimeoutMs = dwTimeoutMs; }

private:
    void Fail(DownloadFailure failure);

    // One byte more than the largest body, so the text form always ends in a zero.
    char m_szData[DOWNLOAD_BUFFER_SIZE + 1] = {};
    char m_szChunk[DOWNLOAD_BUFFER_SIZE] = {};
    uint32_t m_dwReceived = 0;
    uint32_t m_dwContentLength = 0;
    InternetSession* m_hInternet = nullptr;
    UrlRequest* m_hUrl = nullptr;
    DownloadFailure m_nFailure = DownloadFailure::NONE;
    int m_nHttpStatus = 0;
    uint32_t m_dwTimeoutMs = DOWNLOAD_TIMEOUT_MS;
};

// The decimal number at the start of text (digits only, stopping at the first
// other character); values above the 32-bit range give the largest one.
uint32_t ReadDecimalLength(const char* pszText);

}  // namespace corvana
