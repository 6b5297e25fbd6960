// Checks an installed folder against an index of installed files, as a repair
// does: verify FOLDER SUMS ENTRIES [THREADS]. Prints the damaged files' count.
// Exit status 0 when the index was read.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "install/file_index.h"
#include "platform/files.h"
#include "platform/folder.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: verify FOLDER SUMS ENTRIES [THREADS]\n");
        return 2;
    }
    const auto sums = corvana::ReadSmallFile(argv[2], std::size_t{1} << 30);
    const auto entries = corvana::ReadSmallFile(argv[3], std::size_t{1} << 30);
    if (!sums || !entries) return 1;
    const auto index = corvana::ReadFileIndex(*sums, *entries);
    if (!index) {
        std::fprintf(stderr, "verify: %s\n", index.GetFailure().Text().c_str());
        return 1;
    }
    const unsigned nThreads =
        argc == 5 ? static_cast<unsigned>(std::atoi(argv[4])) : std::thread::hardware_concurrency();
    const auto root = corvana::FolderHandle::Open(argv[1]);
    if (!root) {
        std::fprintf(stderr, "verify: %s\n", root.GetFailure().Text().c_str());
        return 1;
    }
    const auto damaged = corvana::FindDamagedFiles(*root, *index, nThreads, [](uint64_t) {});
    std::printf("%zu damaged of %zu\n", damaged.size(), (*index).size());
    return 0;
}
