// The payload each delta method makes of one file against its base, in bytes:
// delta_methods BASE RESULT. For choosing the methods and their settings.
#include <chrono>
#include <cstdio>
#include <string>

#include "archive/delta.h"
#include "platform/files.h"
#include "publish/delta_maker.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: delta_methods BASE RESULT\n", stderr);
        return 2;
    }
    const corvana::Expected<std::string> base = corvana::ReadSmallFile(argv[1], uint64_t{1} << 30);
    const corvana::Expected<std::string> result =
        corvana::ReadSmallFile(argv[2], uint64_t{1} << 30);
    if (!base || !result) {
        std::fputs("delta_methods: the files cannot be read\n", stderr);
        return 1;
    }
    const auto timed = [](const char* pszMethod, auto make) {
        const auto start = std::chrono::steady_clock::now();
        const std::string payload = make();
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::printf("%-6s %10zu bytes  %6.2f s\n", pszMethod, payload.size(), seconds.count());
    };
    timed("whole", [&] { return corvana::ZstdFrame(*result); });
    timed("zstd", [&] { return corvana::ZstdFrame(*result, *base, true); });
    timed("diff", [&] { return corvana::DiffPayload(*base, *result); });
    timed("xdiff", [&] {
        std::string filteredBase = *base;
        std::string filteredResult = *result;
        corvana::FilterX86(filteredBase, true);
        corvana::FilterX86(filteredResult, true);
        return corvana::DiffPayload(filteredBase, filteredResult);
    });
    return 0;
}
