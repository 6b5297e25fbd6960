// The SHA256SUMS reader over any bytes a patch server may send.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "verify/checksums.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const auto sums = corvana::ReadChecksums({reinterpret_cast<const char*>(pData), nSize});
    if (sums && (*sums).size() > nSize / 67) __builtin_trap();  // a line holds at least 67 bytes
    return 0;
}
