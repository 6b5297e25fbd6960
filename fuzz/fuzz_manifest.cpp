// The manifest reader over any bytes a patch server may send.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "run/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view text(reinterpret_cast<const char*>(pData), nSize);
    if (corvana::IsManifestRefused(text)) return 0;
    // The first byte picks the installed version the entries are compared with.
    const int32_t nVersion = nSize > 0 ? static_cast<int8_t>(pData[0]) * 8 : 0;
    const corvana::ManifestSelection selection = corvana::ReadManifest(text, nVersion);
    for (const corvana::ManifestEntry& entry : selection.vecEntries) {
        if (entry.nNumber <= nVersion || entry.strName.size() > text.size()) __builtin_trap();
    }
    return 0;
}
