#include "net/http_downloader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

    // OpenUrl and ReadChunk until the announced length, as the file pipeline does;
    // the number of reads is bounded so that a broken transport cannot hang the test.
    std::string FetchByChunks(const std::string& url) {
        HttpDownloader& downloader = Downloader();
        const uint32_t dwLength = downloader.OpenUrl(url.c_str());
        uint32_t dwSum = 0;
        for (int nReads = 0; dwSum < dwLength && nReads < 1000000; ++nReads) {
            const uint32_t dwChunk = downloader.ReadChunk();
            if (dwChunk == 0 && downloader.GetFailure() != DownloadFailure::NONE) break;
            dwSum += dwChunk;
        }
        EXPECT_EQ(dwSum, downloader.GetReceived());
        return std::string(downloader.GetBody().data(), downloader.GetReceived());
    }

    // A failed download: OpenUrl or ReadChunk report the failure, ReadChunk then
    // answers 0 at once, and DownloadToMemory gives an empty text.
    void ExpectFailure(const std::string& url, DownloadFailure expected) {
        HttpDownloader& downloader = Downloader();
        FetchByChunks(url);
        EXPECT_EQ(downloader.GetFailure(), expected) << url;
        EXPECT_EQ(downloader.ReadChunk(), 0u);
        downloader.CloseUrl();
        EXPECT_EQ(downloader.DownloadToMemory(url.c_str()), "") << url;
        EXPECT_EQ(downloader.GetFailure(), expected) << url;
    }

    std::unique_ptr<HttpDownloader> m_pDownloader = std::make_unique<HttpDownloader>();
};

TEST_F(HttpDownloaderTest, FetchesNginxFilesByteForByte) {
    for (const char* name : {"size-1.bin", "size-64k.bin", "size-5m.bin", "size-15m.bin"}) {
        const std::string expected = test::ReadDocrootFile(name);
        ASSERT_FALSE(expected.empty()) << name;
        const std::string body = FetchByChunks(Nginx(std::string("/") + name));
        EXPECT_EQ(Downloader().GetContentLength(), expected.size()) << name;
        EXPECT_TRUE(body == expected) << name << ": " << body.size() << " bytes";
        EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::NONE) << name;
        EXPECT_EQ(Downloader().GetBody().data()[expected.size()], '\0');
        EXPECT_TRUE(Downloader().CloseUrl());
    }
}

TEST_F(HttpDownloaderTest, EmptyFileHasLengthZeroWithoutFailure) {
    EXPECT_EQ(Downloader().OpenUrl(Nginx("/size-0.bin").c_str()), 0u);
    EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::NONE);
    EXPECT_EQ(Downloader().DownloadToMemory(Nginx("/size-0.bin").c_str()), "");
}

TEST_F(HttpDownloaderTest, DownloadToMemoryReadsTheManifest) {
    EXPECT_EQ(Downloader().DownloadToMemory(Nginx("/patch_info.txt").c_str()),
              test::ReadDocrootFile("patch_info.txt"));
    EXPECT_FALSE(Downloader().CloseUrl());  // DownloadToMemory closed it
}

TEST_F(HttpDownloaderTest, FullBufferStillEndsInAZero) {
    Downloader().DownloadToMemory(Nginx("/size-15m.bin").c_str());
    ASSERT_EQ(Downloader().GetReceived(), DOWNLOAD_BUFFER_SIZE);
    EXPECT_EQ(Downloader().GetBody().data()[DOWNLOAD_BUFFER_SIZE], '\0');
}

TEST_F(HttpDownloaderTest, ResponsesWithoutALengthAreNotRead) {
    for (const char* path : {"/nolength/5000", "/chunked/5000", "/endless"}) {
        EXPECT_EQ(Downloader().OpenUrl(Fault(path).c_str()), 0u) << path;
        EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::NO_LENGTH) << path;
        EXPECT_EQ(Downloader().ReadChunk(), 0u);
        EXPECT_EQ(Downloader().DownloadToMemory(Fault(path).c_str()), "") << path;
    }
}

TEST_F(HttpDownloaderTest, ErrorStatusesFailAndKeepNoPage) {
    for (const char* path : {"/404-doctype", "/404-plain", "/500"}) {
        EXPECT_EQ(Downloader().OpenUrl(Fault(path).c_str()), 0u) << path;
        EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::HTTP_STATUS) << path;
        EXPECT_EQ(Downloader().GetReceived(), 0u);
        EXPECT_EQ(Downloader().DownloadToMemory(Fault(path).c_str()), "") << path;
    }
    EXPECT_EQ(Downloader().GetHttpStatus(), 500);
    Downloader().OpenUrl(Nginx("/no-such-file").c_str());
    EXPECT_EQ(Downloader().GetHttpStatus(), 404);
}

TEST_F(HttpDownloaderTest, StallsEndTheDownloadAfterTheTimeout) {
    ExpectFailure(Fault("/stall-headers"), DownloadFailure::TIMED_OUT);
    ExpectFailure(Fault("/stall-body"), DownloadFailure::TIMED_OUT);
    EXPECT_EQ(Downloader().OpenUrl(Fault("/stall-response").c_str()), 0u);
    EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::TIMED_OUT);
    EXPECT_TRUE(Downloader().GetFailureDetail().starts_with("nothing received for"))
        << Downloader().GetFailureDetail();
}

TEST_F(HttpDownloaderTest, BodyEndingEarlyIsAShortBody) {
    FetchByChunks(Fault("/close-body"));
    const DownloadFailure failure = Downloader().GetFailure();
    EXPECT_TRUE(failure == DownloadFailure::SHORT_BODY ||
                failure == DownloadFailure::CONNECTION_LOST)
        << DescribeFailure(failure);
    EXPECT_LE(Downloader().GetReceived(), 400u);
    EXPECT_EQ(Downloader().DownloadToMemory(Fault("/close-body").c_str()), "");
}

TEST_F(HttpDownloaderTest, BytesBeyondTheAnnouncedLengthAreNotTaken) {
    const std::string body = FetchByChunks(Fault("/extra"));
    EXPECT_EQ(body, Pattern(10));
    EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::NONE);
    EXPECT_EQ(Downloader().GetBody().data()[10], '\0');
}

TEST_F(HttpDownloaderTest, LengthsAboveTheBufferAreRefused) {
    ExpectFailure(Fault("/oversize"), DownloadFailure::REFUSED_LENGTH);
    EXPECT_EQ(Downloader().GetReceived(), 0u);
    EXPECT_EQ(Downloader().GetContentLength(), 0u);

    // A length beyond 64 bits: refused by us, or by a transport that cannot read it.
    EXPECT_EQ(Downloader().OpenUrl(Fault("/huge-length").c_str()), 0u);
    EXPECT_NE(Downloader().GetFailure(), DownloadFailure::NONE);
    EXPECT_EQ(Downloader().ReadChunk(), 0u);
    EXPECT_EQ(Downloader().DownloadToMemory(Fault("/huge-length").c_str()), "");
}

TEST_F(HttpDownloaderTest, SlowTrickleCompletes) {
    // 12 bytes, one every 150 ms: 1.8 s in all, with a 1 s time-out between bytes.
    EXPECT_EQ(FetchByChunks(Fault("/trickle/12/150")), Pattern(12));
    EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::NONE);
}

TEST_F(HttpDownloaderTest, RedirectsAreFollowedUpToFive) {
    EXPECT_EQ(std::string(Downloader().DownloadToMemory(Fault("/redirect/5").c_str())),
              Pattern(100));
    ExpectFailure(Fault("/redirect/6"), DownloadFailure::REDIRECT);
    ExpectFailure(Fault("/redirect-ftp"), DownloadFailure::REDIRECT);
}

TEST_F(HttpDownloaderTest, RequestCarriesTheAgentAndNoHeadersOfOurs) {
    const std::string head = Downloader().DownloadToMemory(Fault("/echo").c_str());
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
    ASSERT_NE(downloader.DownloadToMemory(Nginx("/patch_info.txt").c_str()), "");

    // A port nobody listens on: take one that was just free.
    const std::string closed = "http://127.0.0.1:1/patch_info.txt";
    EXPECT_EQ(downloader.OpenUrl(closed.c_str()), 0u);
    EXPECT_NE(downloader.GetFailure(), DownloadFailure::NONE);
    EXPECT_NE(downloader.GetFailureDetail(), "");  // the system's or the library's words
    EXPECT_FALSE(downloader.CloseInternet());      // the root handle went with the URL
    EXPECT_EQ(downloader.ReadChunk(), 0u);
    EXPECT_EQ(downloader.DownloadToMemory(closed.c_str()), "");

    // The next download makes a new root handle by itself.
    EXPECT_EQ(std::string(downloader.DownloadToMemory(Nginx("/patch_info.txt").c_str())),
              test::ReadDocrootFile("patch_info.txt"));
    EXPECT_TRUE(downloader.CloseInternet());
}

TEST_F(HttpDownloaderTest, HandlesCloseOnceAndReadsWithoutAUrlDoNothing) {
    HttpDownloader& downloader = Downloader();
    EXPECT_FALSE(downloader.CloseUrl());
    EXPECT_FALSE(downloader.CloseInternet());
    EXPECT_EQ(downloader.ReadChunk(), 0u);
    ASSERT_TRUE(downloader.OpenInternet());
    EXPECT_EQ(downloader.OpenUrl(Nginx("/size-64k.bin").c_str()), 65536u);
    EXPECT_TRUE(downloader.CloseUrl());
    EXPECT_FALSE(downloader.CloseUrl());
    EXPECT_EQ(downloader.ReadChunk(), 0u);
    EXPECT_EQ(downloader.GetReceived(), 0u);
    EXPECT_TRUE(downloader.CloseInternet());
    EXPECT_FALSE(downloader.CloseInternet());
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

TEST(DownloadLength, ReadsLeadingDigitsOnly) {
    EXPECT_EQ(ReadDecimalLength("1234"), 1234u);
    EXPECT_EQ(ReadDecimalLength("12ab"), 12u);
    EXPECT_EQ(ReadDecimalLength("x12"), 0u);
    EXPECT_EQ(ReadDecimalLength(""), 0u);
    EXPECT_EQ(ReadDecimalLength("4294967295"), 4294967295u);
    EXPECT_EQ(ReadDecimalLength("99999999999999999999999"), 4294967295u);
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
        Downloader().DownloadToMemory(url.c_str());
        EXPECT_EQ(Downloader().GetFailure(), failure)
            << url << ": " << Downloader().GetFailureDetail();
        EXPECT_EQ(Downloader().GetReceived(), failure == DownloadFailure::NONE ? 65536u : 0u)
            << url;
    }
#ifndef _WIN32
    // Without the CA file only the system's authorities count.
    test::SetEnv("CORVANA_CA_FILE", nullptr);
    Downloader().DownloadToMemory(cases[0].first.c_str());
    EXPECT_EQ(Downloader().GetFailure(), DownloadFailure::CERTIFICATE);
#endif
}

}  // namespace
}  // namespace corvana
