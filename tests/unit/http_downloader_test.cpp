#include "net/http_downloader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "run/archive_step.h"
#include "run/body_fetch.h"
#include "support/fake_run.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>

#include <wincrypt.h>
#endif

namespace corvana {
namespace {

using test::ServerUrl;

// Bytes of the fault server's bodies: byte i is (7i + 3) mod 256.
std::string Pattern(std::size_t nSize) {
    std::string data(nSize, '\0');
    for (std::size_t i = 0; i < nSize; ++i) data[i] = static_cast<char>((7 * i + 3) & 0xFF);
    return data;
}

class HttpDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override { m_pDownloader->SetTimeout(1000); }

    HttpDownloader& Downloader() { return *m_pDownloader; }
    std::string Nginx(const std::string& path) { return ServerUrl("CORVANA_TEST_NGINX") + path; }
    std::string Fault(const std::string& path) { return ServerUrl("CORVANA_TEST_FAULT") + path; }

    // OpenUrl and ReadChunk until the announced length, as the file pipeline does
    // (the number of reads is bounded so that a broken transport cannot hang the
    // test); the body, and the failure it ended with (NONE when it did not).
    std::string FetchByChunks(const std::string& url) {
        HttpDownloader& downloader = Downloader();
        m_failure = {};
        const Expected<uint32_t, TransferError> length = downloader.OpenUrl(url.c_str());
        if (!length) m_failure = length.GetFailure();
        uint32_t dwSum = 0;
        for (int nReads = 0; length && dwSum < *length && nReads < 1000000; ++nReads) {
            const Expected<uint32_t, TransferError> chunk = downloader.ReadChunk();
            if (!chunk) {
                m_failure = chunk.GetFailure();
                break;
            }
            dwSum += *chunk;
        }
        EXPECT_EQ(dwSum, downloader.GetReceived());
        return std::string(downloader.GetBody().data(), downloader.GetReceived());
    }

    // The failure of a text download (NONE when it worked).
    DownloadFailure TextFailure(const std::string& url) {
        const Expected<std::string, TransferError> text =
            Downloader().DownloadToMemory(url.c_str());
        m_failure = text ? TransferError{} : text.GetFailure();
        return m_failure.kind;
    }

    // A failed download: OpenUrl or ReadChunk report the failure, ReadChunk then
    // answers it again at once, and DownloadToMemory fails the same way.
    void ExpectFailure(const std::string& url, DownloadFailure expected) {
        HttpDownloader& downloader = Downloader();
        FetchByChunks(url);
        EXPECT_EQ(m_failure.kind, expected) << url;
        const Expected<uint32_t, TransferError> again = downloader.ReadChunk();
        EXPECT_TRUE(!again || *again == 0);
        downloader.CloseUrl();
        EXPECT_EQ(TextFailure(url), expected) << url;
    }

    std::unique_ptr<HttpDownloader> m_pDownloader = std::make_unique<HttpDownloader>();
    TransferError m_failure;  // the last download's
};

TEST_F(HttpDownloaderTest, FetchesNginxFilesByteForByte) {
    for (const char* name : {"size-1.bin", "size-64k.bin", "size-5m.bin", "size-15m.bin"}) {
        const std::string expected = test::ReadDocrootFile(name);
        ASSERT_FALSE(expected.empty()) << name;
        const std::string body = FetchByChunks(Nginx(std::string("/") + name));
        EXPECT_EQ(Downloader().GetContentLength(), expected.size()) << name;
        EXPECT_TRUE(body == expected) << name << ": " << body.size() << " bytes";
        EXPECT_EQ(m_failure.kind, DownloadFailure::NONE) << name;
        EXPECT_EQ(Downloader().GetBody().data()[expected.size()], '\0');
        EXPECT_TRUE(Downloader().CloseUrl());
    }
}

TEST_F(HttpDownloaderTest, EmptyFileHasLengthZeroWithoutFailure) {
    const Expected<uint32_t, TransferError> length =
        Downloader().OpenUrl(Nginx("/size-0.bin").c_str());
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 0u);
    const Expected<std::string, TransferError> text =
        Downloader().DownloadToMemory(Nginx("/size-0.bin").c_str());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "");
}

TEST_F(HttpDownloaderTest, DownloadToMemoryReadsTheManifest) {
    const Expected<std::string, TransferError> text =
        Downloader().DownloadToMemory(Nginx("/patch_info.txt").c_str());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, test::ReadDocrootFile("patch_info.txt"));
    EXPECT_FALSE(Downloader().CloseUrl());  // DownloadToMemory closed it
}

TEST_F(HttpDownloaderTest, FullBufferStillEndsInAZero) {
    EXPECT_EQ(TextFailure(Nginx("/size-15m.bin")), DownloadFailure::NONE);
    ASSERT_EQ(Downloader().GetReceived(), DOWNLOAD_BUFFER_SIZE);
    EXPECT_EQ(Downloader().GetBody().data()[DOWNLOAD_BUFFER_SIZE], '\0');
}

TEST_F(HttpDownloaderTest, ResponsesWithoutALengthAreNotRead) {
    for (const char* path : {"/nolength/5000", "/chunked/5000", "/endless"}) {
        ExpectFailure(Fault(path), DownloadFailure::NO_LENGTH);
        EXPECT_EQ(Downloader().GetReceived(), 0u) << path;
    }
}

TEST_F(HttpDownloaderTest, ErrorStatusesFailAndKeepNoPage) {
    for (const auto& [path, nStatus] :
         {std::pair{"/404-doctype", 404}, std::pair{"/404-plain", 404}, std::pair{"/500", 500}}) {
        ExpectFailure(Fault(path), DownloadFailure::HTTP_STATUS);
        EXPECT_EQ(m_failure.nHttpStatus, nStatus) << path;
        EXPECT_EQ(Downloader().GetReceived(), 0u);
    }
    EXPECT_EQ(TextFailure(Nginx("/no-such-file")), DownloadFailure::HTTP_STATUS);
    EXPECT_EQ(m_failure.nHttpStatus, 404);
    EXPECT_EQ(DescribeTransfer(m_failure, "http://h.test:81/x"),
              "http://h.test:81/x (host h.test, port 81): the server answered with an error "
              "status (HTTP 404)");
}

TEST_F(HttpDownloaderTest, StallsEndTheDownloadAfterTheTimeout) {
    ExpectFailure(Fault("/stall-headers"), DownloadFailure::TIMED_OUT);
    ExpectFailure(Fault("/stall-body"), DownloadFailure::TIMED_OUT);
    EXPECT_EQ(TextFailure(Fault("/stall-response")), DownloadFailure::TIMED_OUT);
    EXPECT_TRUE(m_failure.detail.starts_with("nothing received for")) << m_failure.detail;
}

TEST_F(HttpDownloaderTest, BodyEndingEarlyIsAShortBody) {
    FetchByChunks(Fault("/close-body"));
    EXPECT_TRUE(m_failure.kind == DownloadFailure::SHORT_BODY ||
                m_failure.kind == DownloadFailure::CONNECTION_LOST)
        << DescribeFailure(m_failure.kind);
    EXPECT_LE(Downloader().GetReceived(), 400u);
    EXPECT_NE(TextFailure(Fault("/close-body")), DownloadFailure::NONE);
    EXPECT_EQ(Downloader().GetReceived(), 0u);  // never a part of a body
}

TEST_F(HttpDownloaderTest, BytesBeyondTheAnnouncedLengthAreNotTaken) {
    const std::string body = FetchByChunks(Fault("/extra"));
    EXPECT_EQ(body, Pattern(10));
    EXPECT_EQ(m_failure.kind, DownloadFailure::NONE);
    EXPECT_EQ(Downloader().GetBody().data()[10], '\0');
}

TEST_F(HttpDownloaderTest, LengthsAboveTheBufferAreRefused) {
    ExpectFailure(Fault("/oversize"), DownloadFailure::REFUSED_LENGTH);
    EXPECT_EQ(Downloader().GetReceived(), 0u);
    EXPECT_EQ(Downloader().GetContentLength(), 0u);

    // A length beyond 64 bits: refused by us, or by a transport that cannot read it.
    FetchByChunks(Fault("/huge-length"));
    EXPECT_NE(m_failure.kind, DownloadFailure::NONE);
    EXPECT_NE(TextFailure(Fault("/huge-length")), DownloadFailure::NONE);
}

TEST_F(HttpDownloaderTest, SlowTrickleCompletes) {
    // 12 bytes, one every 150 ms: 1.8 s in all, with a 3 s time-out between bytes
    // (room for a loaded machine; the time-out only must not end the transfer).
    Downloader().SetTimeout(3000);
    EXPECT_EQ(FetchByChunks(Fault("/trickle/12/150")), Pattern(12));
    EXPECT_EQ(m_failure.kind, DownloadFailure::NONE);
}

TEST_F(HttpDownloaderTest, RedirectsAreFollowedUpToFive) {
    const Expected<std::string, TransferError> text =
        Downloader().DownloadToMemory(Fault("/redirect/5").c_str());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, Pattern(100));
    ExpectFailure(Fault("/redirect/6"), DownloadFailure::REDIRECT);
    ExpectFailure(Fault("/redirect-ftp"), DownloadFailure::REDIRECT);
}

TEST_F(HttpDownloaderTest, RequestCarriesTheAgentAndNoHeadersOfOurs) {
    const Expected<std::string, TransferError> echoed =
        Downloader().DownloadToMemory(Fault("/echo").c_str());
    ASSERT_TRUE(echoed);
    const std::string& head = *echoed;
    ASSERT_EQ(head.rfind("GET /echo HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: ZODOD\r\n"), std::string::npos) << head;
    // Only what the transport itself sends: no proxy, cache, range or encoding headers.
    std::size_t nLine = head.find("\r\n") + 2;
    for (std::size_t nEnd; (nEnd = head.find("\r\n", nLine)) != std::string::npos && nEnd > nLine;
         nLine = nEnd + 2) {
        const std::string name = head.substr(nLine, head.find(':', nLine) - nLine);
        EXPECT_TRUE(name == "Host" || name == "User-Agent" || name == "Accept" ||
                    name == "Connection")
            << "unexpected header " << name;
    }
}

TEST_F(HttpDownloaderTest, UnreachableUrlDropsTheRootHandleAndTheOldBody) {
    HttpDownloader& downloader = Downloader();
    ASSERT_TRUE(downloader.OpenInternet());
    ASSERT_EQ(TextFailure(Nginx("/patch_info.txt")), DownloadFailure::NONE);
    ASSERT_NE(downloader.GetReceived(), 0u);

    // A port nobody listens on: take one that was just free.
    const std::string closed = "http://127.0.0.1:1/patch_info.txt";
    FetchByChunks(closed);
    EXPECT_NE(m_failure.kind, DownloadFailure::NONE);
    EXPECT_NE(m_failure.detail, "");           // the system's or the library's words
    EXPECT_FALSE(downloader.CloseInternet());  // the root handle went with the URL
    EXPECT_EQ(downloader.GetReceived(), 0u);
    EXPECT_NE(TextFailure(closed), DownloadFailure::NONE);

    // The next download makes a new root handle by itself.
    const Expected<std::string, TransferError> text =
        downloader.DownloadToMemory(Nginx("/patch_info.txt").c_str());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, test::ReadDocrootFile("patch_info.txt"));
    EXPECT_TRUE(downloader.CloseInternet());
}

TEST_F(HttpDownloaderTest, HandlesCloseOnceAndReadsWithoutAUrlDoNothing) {
    HttpDownloader& downloader = Downloader();
    EXPECT_FALSE(downloader.CloseUrl());
    EXPECT_FALSE(downloader.CloseInternet());
    EXPECT_EQ(*downloader.ReadChunk(), 0u);
    ASSERT_TRUE(downloader.OpenInternet());
    EXPECT_EQ(*downloader.OpenUrl(Nginx("/size-64k.bin").c_str()), 65536u);
    EXPECT_TRUE(downloader.CloseUrl());
    EXPECT_FALSE(downloader.CloseUrl());
    EXPECT_EQ(*downloader.ReadChunk(), 0u);
    EXPECT_EQ(downloader.GetReceived(), 0u);
    EXPECT_TRUE(downloader.CloseInternet());
    EXPECT_FALSE(downloader.CloseInternet());
}

// The requests of a session after the first go over the connection it opened:
// the server numbers its connections.
TEST_F(HttpDownloaderTest, LaterRequestsReuseTheConnection) {
    const std::string url = Nginx("/connection");
    const Expected<std::string, TransferError> first = Downloader().DownloadToMemory(url.c_str());
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->empty());
    struct StringSink : BodySink {
        std::string data;
        uint32_t Room() const override { return UINT32_MAX; }
        void Append(const char* pData, uint32_t dwSize) override { data.append(pData, dwSize); }
    } sink;
    ASSERT_TRUE(Downloader().OpenStream(Nginx("/size-64k.bin").c_str(), {}, sink));
    while (sink.data.size() < 65536) {
        const Expected<uint32_t, TransferError> chunk = Downloader().ReadChunk();
        ASSERT_TRUE(chunk && *chunk > 0);
    }
    Downloader().CloseUrl();
    const Expected<std::string, TransferError> second = Downloader().DownloadToMemory(url.c_str());
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, *first);
}

// The lowest speed counts the bytes of the last minute, whatever the rhythm.
TEST(StallWatch, StallsWhenAMinuteBringsTooFewBytes) {
    StallWatch watch;
    watch.Start(1000);
    uint32_t dwNow = 1000;
    for (int nByte = 1; nByte <= 7; ++nByte) {  // a byte every 8 s keeps no transfer alive
        dwNow += 8000;
        EXPECT_FALSE(watch.Stalled(dwNow, static_cast<uint64_t>(nByte)));
    }
    EXPECT_TRUE(watch.Stalled(dwNow + 8000, 8));

    watch.Start(0);  // a burst, then nothing: stalled a minute after the burst
    EXPECT_FALSE(watch.Stalled(30000, 5000));
    EXPECT_FALSE(watch.Stalled(89000, 5001));
    EXPECT_TRUE(watch.Stalled(91000, 5002));

    watch.Start(UINT32_MAX - 1000);  // the tick count wraps
    EXPECT_FALSE(watch.Stalled(58000, 100));
    EXPECT_FALSE(watch.Stalled(59500, 2000));
    EXPECT_FALSE(watch.Stalled(119000, 2000 + 1024));
    EXPECT_TRUE(watch.Stalled(180000, 2000 + 1024));
}

// A run's fetch of a body too large to hold, over the real transport: the
// server closes the connection part-way, and the same fetch goes on with a
// Range request from the byte it stopped at.
TEST_F(HttpDownloaderTest, ARunGoesOnWhereTheServerCutItOff) {
    const test::TempDir temp;
    const FolderHandle root = test::OpenFolder(temp.Path().string() + kPathSeparator);
    PatchSetVerifier verifier;
    test::RecordingView view;
    RunScreen screen;
    screen.SetView(&view);
    RunControl control;
    SystemClock clock;
    StepContext context{Downloader(), verifier, screen, control, clock, root};
    Expected<StreamedBody, FetchRefusal> body =
        FetchToDisk(context, Fault("/cut/300000/100000"), "big.zip");
    ASSERT_TRUE(body) << body.GetFailure().ending.cause;
    std::string data(300000, '\0');
    ASSERT_EQ(*(*body).File().ReadAt(0, data.data(), data.size()), data.size());
    EXPECT_TRUE(data == Pattern(300000));
    const std::vector<std::string> notes = view.Of("note ");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].ends_with("; going on from byte 100000")) << notes[0];
    (*body).Discard();
}

TEST(DownloadLength, AContentRangeLiesInsideTheBody) {
    EXPECT_EQ(ReadContentRange("bytes 100-999/1000")->nFirst, 100u);
    EXPECT_EQ(ReadContentRange("bytes 100-998/1000")->nLast, 998u);
    EXPECT_EQ(ReadContentRange("bytes 0-6442450943/6442450944")->nTotal, 6442450944u);
    for (const char* pszText : {"bytes 100-1000/1000", "bytes 100-999/*", "bytes */1000",
                                "bytes 5-4/5", "bytes 0-0/0", "items 0-9/10", "bytes 0-9/10 ",
                                "bytes 0-99999999999999999999/100000000000000000000", ""}) {
        EXPECT_FALSE(ReadContentRange(pszText)) << pszText;
    }
}

// A body above the buffer goes to its sink as it arrives; a second request
// goes on from where the first stopped while the server has the same version,
// and starts again from nothing when the version named is not the server's; a
// part that ends before the body does is served alone.
TEST_F(HttpDownloaderTest, AStreamedBodyGoesOnWithARange) {
    struct StringSink : BodySink {
        std::string data;
        uint32_t Room() const override { return UINT32_MAX; }
        void Append(const char* pData, uint32_t dwSize) override { data.append(pData, dwSize); }
    };
    const std::string expected = test::ReadDocrootFile("size-20m.bin");
    ASSERT_EQ(expected.size(), 20u << 20);
    const std::string url = Nginx("/size-20m.bin");
    StringSink sink;
    const Expected<StreamStart, TransferError> whole =
        Downloader().OpenStream(url.c_str(), {}, sink);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->nFrom, 0u);
    EXPECT_EQ(whole->nTotal, expected.size());
    EXPECT_FALSE(whole->validator.empty());
    while (sink.data.size() < 7000000) {
        const Expected<uint32_t, TransferError> chunk = Downloader().ReadChunk();
        ASSERT_TRUE(chunk && *chunk > 0);
    }
    Downloader().CloseUrl();  // the connection broken off
    for (const bool bSameVersion : {true, false}) {
        SCOPED_TRACE(bSameVersion ? "same version" : "another version");
        const std::size_t nKept = bSameVersion ? 7000000 : 0;
        sink.data.resize(nKept);
        const std::string validator = bSameVersion ? whole->validator : "\"another\"";
        const Expected<StreamStart, TransferError> rest =
            Downloader().OpenStream(url.c_str(), {7000000, 0, validator}, sink);
        ASSERT_TRUE(rest);
        EXPECT_EQ(rest->nFrom, nKept);
        EXPECT_EQ(rest->nTotal, expected.size());
        for (Expected<uint32_t, TransferError> chunk = uint32_t{1}; chunk && *chunk > 0;) {
            chunk = Downloader().ReadChunk();
            ASSERT_TRUE(chunk);
        }
        EXPECT_TRUE(sink.data == expected) << sink.data.size() << " bytes";
        Downloader().CloseUrl();
    }
    // A part inside the body, as another connection fetches it.
    sink.data.clear();
    const Expected<StreamStart, TransferError> part =
        Downloader().OpenStream(url.c_str(), {7000000, 8000000, whole->validator}, sink);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->nFrom, 7000000u);
    EXPECT_EQ(part->nTotal, expected.size());
    for (Expected<uint32_t, TransferError> chunk = uint32_t{1}; chunk && *chunk > 0;) {
        chunk = Downloader().ReadChunk();
        ASSERT_TRUE(chunk);
    }
    EXPECT_TRUE(sink.data == expected.substr(7000000, 1000000)) << sink.data.size() << " bytes";
    Downloader().CloseUrl();
}

TEST(DownloadEndpoint, NamesHostAndPortWithTheSchemesDefault) {
    for (const auto& [url, endpoint] : std::vector<std::pair<std::string, std::string>>{
             {"http://example.test/a/b.zip", "host example.test, port 80"},
             {"HTTPS://example.test?x", "host example.test, port 443"},
             {"http://127.0.0.1:8080/p", "host 127.0.0.1, port 8080"},
             {"https://[::1]:8443/p", "host [::1], port 8443"},
             {"https://[::1]/p", "host [::1], port 443"}}) {
        EXPECT_EQ(DescribeEndpoint(url), endpoint) << url;
    }
}

#ifdef _WIN32
// The test CA among the user's root authorities of the tests' own Wine prefix
// (the emulator's, below the build folder) while the object lives. WinINet's
// chain engine reads that store once, when it builds its first chain: the CA is
// put there (and the store closed, which writes it) before any HTTPS request.
class TrustedTestCa {
public:
    explicit TrustedTestCa(const std::string& pemPath) {
        const std::string pem = test::ReadWholeFile(test::HostPath(pemPath));
        DWORD dwSize = 0;
        if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &dwSize, nullptr, nullptr)) {
            return;
        }
        std::vector<BYTE> der(dwSize);
        CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                             der.data(), &dwSize, nullptr, nullptr);
        HCERTSTORE hStore =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
        PCCERT_CONTEXT pAdded = nullptr;
        if (hStore != nullptr &&
            CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, der.data(), dwSize,
                                             CERT_STORE_ADD_REPLACE_EXISTING, &pAdded)) {
            DWORD dwHash = sizeof(m_hash);
            m_bAdded = CertGetCertificateContextProperty(pAdded, CERT_SHA1_HASH_PROP_ID, m_hash,
                                                         &dwHash) != FALSE;
            CertFreeCertificateContext(pAdded);
        }
        if (hStore != nullptr) CertCloseStore(hStore, 0);
    }
    // The store's own delete is not written back under Wine: the registry key
    // that holds the certificate goes instead.
    ~TrustedTestCa() {
        if (!m_bAdded) return;
        std::string key = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
        static constexpr char HEX[] = "0123456789ABCDEF";
        for (const BYTE byte : m_hash) {
            key += HEX[byte >> 4];
            key += HEX[byte & 0xF];
        }
        RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    }
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;
    bool Added() const { return m_bAdded; }

private:
    bool m_bAdded = false;
    BYTE m_hash[20] = {};
};
#endif

// HTTPS against nginx with a certificate from a test CA, trusted (Linux: as the
// CA file; Windows: among the system's authorities), and one from another CA.
TEST_F(HttpDownloaderTest, HttpsVerifiesTheServerAndStaysSecure) {
    const std::string host = std::getenv("CORVANA_TEST_NGINX_TLS");
    const std::string port = host.substr(host.find(':'));
#ifdef _WIN32
    const TrustedTestCa trusted(std::getenv("CORVANA_TEST_CA"));
    ASSERT_TRUE(trusted.Added());
#else
    test::SetEnv("CORVANA_CA_FILE", std::getenv("CORVANA_TEST_CA"));
#endif
    const std::vector<std::pair<std::string, DownloadFailure>> cases{
        {"https://" + host + "/size-64k.bin", DownloadFailure::NONE},
        {"https://" + std::string(std::getenv("CORVANA_TEST_NGINX_TLS_OTHER")) + "/size-64k.bin",
         DownloadFailure::CERTIFICATE},  // an unknown authority
        {"https://localhost" + port + "/size-64k.bin", DownloadFailure::CERTIFICATE},
        {"https://" + host + "/to-http", DownloadFailure::REDIRECT},
    };
    for (const auto& [url, failure] : cases) {
        EXPECT_EQ(TextFailure(url), failure) << url << ": " << m_failure.detail;
        EXPECT_EQ(Downloader().GetReceived(), failure == DownloadFailure::NONE ? 65536u : 0u)
            << url;
    }
#ifndef _WIN32
    // Without the CA file only the system's authorities count.
    test::SetEnv("CORVANA_CA_FILE", nullptr);
    EXPECT_EQ(TextFailure(cases[0].first), DownloadFailure::CERTIFICATE);
#endif
}

}  // namespace
}  // namespace corvana
