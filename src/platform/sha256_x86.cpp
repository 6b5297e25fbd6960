#include "platform/sha256_x86.h"

#include <algorithm>
#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define CORVANA_X86 1
#endif

namespace corvana {

namespace {

#ifdef CORVANA_X86
alignas(16) constexpr uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Hashes nBlocks whole blocks of 64 bytes into the state (a to h). The
// instructions keep the state as two halves, ABEF and CDGH, and take the
// message schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void HashBlocks(uint32_t* pdwState,
                                                            const unsigned char* pData,
                                                            std::size_t nBlocks) {
    // Each 32-bit word of the message is big-endian.
    const __m128i byteSwap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pdwState));
    const __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pdwState + 4));
    const __m128i badc = _mm_shuffle_epi32(abcd, 0xB1);
    const __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);
    __m128i abef = _mm_alignr_epi8(badc, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, badc, 0xF0);
    for (; nBlocks > 0; --nBlocks, pData += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i words[4];
        for (int nGroup = 0; nGroup < 16; ++nGroup) {
            __m128i& current = words[nGroup % 4];
            if (nGroup < 4) {
                current = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(pData) + nGroup), byteSwap);
            }
            __m128i schedule = _mm_add_epi32(
                current,
                _mm_load_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS) + nGroup));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, schedule);
            // The words four groups on: their first part was added two groups ago.
            if (nGroup >= 3 && nGroup < 15) {
                __m128i& next = words[(nGroup + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(current, words[(nGroup + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, current);
            }
            schedule = _mm_shuffle_epi32(schedule, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, schedule);
            if (nGroup >= 1 && nGroup <= 12) {
                __m128i& previous = words[(nGroup + 3) % 4];
                previous = _mm_sha256msg1_epu32(previous, current);
            }
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pdwState), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pdwState + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#else
void HashBlocks(uint32_t*, const unsigned char*, std::size_t) {}
#endif

}  // namespace

bool HasShaInstructions() {
#ifdef CORVANA_X86
    static const bool bHas = [] {
        unsigned int a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
        const bool bSse = (c & bit_SSSE3) != 0 && (c & bit_SSE4_1) != 0;
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
        return bSse && (b & bit_SHA) != 0;
    }();
    return bHas;
#else
    return false;
#endif
}

void InstructionSha256::Update(std::string_view data) {
    const auto* pData = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t nLeft = data.size();
    m_nTotal += nLeft;
    if (m_nBuffered > 0) {
        const std::size_t nTaken = std::min(nLeft, sizeof m_abBlock - m_nBuffered);
        std::memcpy(m_abBlock + m_nBuffered, pData, nTaken);
        m_nBuffered += nTaken;
        pData += nTaken;
        nLeft -= nTaken;
        if (m_nBuffered < sizeof m_abBlock) return;
        HashBlocks(m_adwState, m_abBlock, 1);
        m_nBuffered = 0;
    }
    HashBlocks(m_adwState, pData, nLeft / 64);
    std::memcpy(m_abBlock, pData + nLeft / 64 * 64, nLeft % 64);
    m_nBuffered = nLeft % 64;
}

Sha256 InstructionSha256::Finish() {
    // The padding: a one bit, zeros, and the length in bits, big-endian.
    const uint64_t nBits = m_nTotal * 8;
    unsigned char abPad[72] = {0x80};
    const std::size_t nPad = (m_nBuffered < 56 ? 56 : 120) - m_nBuffered;
    for (int i = 0; i < 8; ++i) abPad[nPad + i] = static_cast<unsigned char>(nBits >> (56 - 8 * i));
    Update({reinterpret_cast<const char*>(abPad), nPad + 8});
    Sha256 digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<unsigned char>(m_adwState[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

}  // namespace corvana
