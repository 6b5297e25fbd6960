// Fetches one URL with the downloader, as the update run fetches the manifest:
// fetch URL [EXPECTED_BYTES]. Exit status 0 when the body arrived whole.
#include <cstdio>
#include <cstdlib>

#include "net/http_downloader.h"

namespace {
corvana::HttpDownloader g_downloader;  // static, as in the program
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fetch URL [EXPECTED_BYTES]\n");
        return 2;
    }
    const auto body = g_downloader.DownloadToMemory(argv[1]);
    const unsigned long nReceived = g_downloader.GetReceived();
    std::printf(
        "%lu bytes (%s)\n", nReceived,
        body ? "no failure" : corvana::DescribeTransfer(body.GetFailure(), argv[1]).c_str());
    if (argc > 2 && nReceived != std::strtoul(argv[2], nullptr, 10)) return 1;
    return body ? 0 : 1;
}
