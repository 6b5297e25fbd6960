// The transfers an update run makes: over HTTP in the program (HttpDownloader),
// from a folder in the run's tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/transport.h"

namespace corvana {

// Where a streamed body starts: the first byte the response holds (0 when the
// server sends the whole body), the body's whole length, and what names this
// version of it for a later resume (empty when the server gives nothing usable).
struct StreamStart {
    uint64_t nFrom = 0;
    uint64_t nTotal = 0;
    std::string validator;
};

class Fetcher {
public:
    virtual ~Fetcher() = default;

    virtual bool OpenInternet() = 0;
    // Opens a URL: its announced body length.
    virtual Expected<uint32_t, TransferError> OpenUrl(const char* pszUrl) = 0;
    // Appends what has arrived of the body and returns its count: 0 at its end
    // (or without a URL). A failure stays the answer until the next OpenUrl.
    virtual Expected<uint32_t, TransferError> ReadChunk() = 0;
    // Opens url for a body of any size, which goes to sink as ReadChunk takes
    // it: the part range asks for when the server still has the version its
    // validator names, else whole (the answer says which). The body must have a
    // length.
    virtual Expected<StreamStart, TransferError> OpenStream(const char* pszUrl,
                                                            const RangeRequest& range,
                                                            BodySink& sink) = 0;
    // The whole body as text, up to its first zero byte.
    virtual Expected<std::string, TransferError> DownloadToMemory(const char* pszUrl) = 0;
    virtual bool CloseUrl() = 0;
    virtual bool CloseInternet() = 0;

    // The bytes received of the current (or last) body.
    virtual std::string_view GetBody() const = 0;
};

}  // namespace corvana
