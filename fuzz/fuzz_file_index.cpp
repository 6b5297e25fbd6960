// The reader of the installed files' index over any bytes: the two files split
// at the input's first NUL.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "install/file_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view input(reinterpret_cast<const char*>(pData), nSize);
    const std::size_t nSplit = input.find('\0');
    if (nSplit == std::string_view::npos) return 0;
    const auto index = corvana::ReadFileIndex(input.substr(0, nSplit), input.substr(nSplit + 1));
    if (!index) return 0;
    // Every file it takes has a hash of the right form and a name that stays inside.
    for (const corvana::IndexedFile& file : *index) {
        if (file.sha256.size() != 64 || file.path.empty() || file.path.find("..") == 0 ||
            file.path.front() == '/') {
            __builtin_trap();
        }
    }
    return 0;
}
