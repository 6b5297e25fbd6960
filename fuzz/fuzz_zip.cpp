// ZIP extraction over any archive bytes: saved as a file, unpacked beside it in a
// folder of its own, which is then removed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/zip_extractor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static const std::filesystem::path root = [] {
        char szTemplate[] = "/tmp/corvana-fuzz-zip-XXXXXX";
        return std::filesystem::path(mkdtemp(szTemplate));
    }();
    const std::filesystem::path folder = root / "in";
    std::filesystem::create_directories(folder);
    const std::string archive = (folder / "patch.zip").string();
    if (FILE* pFile = std::fopen(archive.c_str(), "wb")) {
        std::fwrite(pData, 1, nSize, pFile);
        std::fclose(pFile);
    }
    corvana::ZipExtractor extractor;
    extractor.Open(archive.c_str(), false);
    static_cast<void>(extractor.ExtractAll(false));
    extractor.Close();
    // Nothing may land outside the archive's folder.
    for (const auto& item : std::filesystem::directory_iterator(root)) {
        if (item.path() != folder) __builtin_trap();
    }
    std::filesystem::remove_all(folder);
    return 0;
}
