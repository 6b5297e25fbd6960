// The public-key and signature readers, and the check, over any bytes: the
// signature comes from the patch server, the key from the build.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "verify/minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view text(reinterpret_cast<const char*>(pData), nSize);
    // A fixed key: whatever the signature says, it must not verify by accident.
    static const auto key =
        corvana::ReadPublicKey("RWTmP68nNnf7vqyaFV0Y9YeJyn2PEzkgg2y38Zp6jw1ifKfneM8dCNm1");
    if (!key) __builtin_trap();
    static_cast<void>(corvana::ReadPublicKey(text));
    if (const auto signature = corvana::ReadSignature(text)) {
        static_cast<void>(corvana::TrustedTimestamp(signature->strTrustedComment));
        if (corvana::CheckSignature(*key, *signature, text, "data", "signature")) __builtin_trap();
    }
    return 0;
}
