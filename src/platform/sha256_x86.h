// SHA-256 with the x86 processors' SHA instructions, for systems whose own
// implementation does not use them. Callers ask HasShaInstructions() first; on
// other processors (and other architectures) it is false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/checksum_list.h"

namespace corvana {

bool HasShaInstructions();

class InstructionSha256 {
public:
    void Update(std::string_view data);
    // The digest; the hash is spent.
    Sha256 Finish();

private:
    uint32_t m_adwState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char m_abBlock[64] = {};
    std::size_t m_nBuffered = 0;  // bytes of m_abBlock in use
    uint64_t m_nTotal = 0;        // bytes hashed in all
};

}  // namespace corvana
