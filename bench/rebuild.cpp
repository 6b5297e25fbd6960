// Rebuilds every item of a delta from a base folder in memory and prints the
// rate: rebuild DELTA BASE_FOLDER. Nothing is written. Exit status 0 when every
// item rebuilt to the result its index names.
#include <chrono>
#include <cstdio>
#include <string>

#include "archive/delta.h"
#include "platform/files.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: rebuild DELTA BASE_FOLDER\n");
        return 2;
    }
    const auto delta = corvana::ReadSmallFile(argv[1], uint64_t{1} << 31);
    if (!delta) return 1;
    const auto items = corvana::ReadDelta(*delta);
    if (!items) return 1;
    for (const corvana::DeltaItem& item : *items) {
        if (item.method == corvana::DeltaMethod::SAME) continue;
        std::string base;
        if (item.method != corvana::DeltaMethod::WHOLE) {
            const auto read = corvana::ReadSmallFile(
                (std::string(argv[2]) + "/" + item.name).c_str(), corvana::DELTA_FILE_LIMIT);
            if (!read) return 1;
            base = *read;
        }
        const auto start = std::chrono::steady_clock::now();
        const auto result = corvana::RebuildItem(item, base);
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        if (!result) return 1;
        std::printf("%s: %llu bytes in %.3f s, %.0f MB/s\n", item.name.c_str(),
                    static_cast<unsigned long long>(item.nResultSize), seconds.count(),
                    static_cast<double>(item.nResultSize) / 1e6 / seconds.count());
    }
    return 0;
}
