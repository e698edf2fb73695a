// CRC-32 by carry-less multiplication (x86 PCLMULQDQ): 64 bytes per step folded into four
// 128-bit lanes, then reduced to 32 bits by Barrett reduction, after Gopal et al., "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ Instruction" (Intel, 2009). The constants
// are the paper's for the reflected polynomial 0xEDB88320: x^(4*128+32) mod P and
// x^(4*128-32) mod P fold 64 bytes, x^(128+32) and x^(128-32) fold 16, x^64 mod P takes 64 bits
// to 32, and P with floor(x^64 / P) do the Barrett step, all bit-reflected and shifted by one.
#include "core/crc32_fold.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZIPSALVAGE_HAVE_FOLD 1
#endif

namespace zipsalvage {

#if defined(ZIPSALVAGE_HAVE_FOLD)

namespace {

constexpr uint64_t kFold64Low = 0x0154442bd4ull;
constexpr uint64_t kFold64High = 0x01c6e41596ull;
constexpr uint64_t kFold16Low = 0x01751997d0ull;
constexpr uint64_t kFold16High = 0x00ccaa009eull;
constexpr uint64_t kFold8 = 0x0163cd6124ull;
constexpr uint64_t kPolynomial = 0x01db710641ull;
constexpr uint64_t kBarrett = 0x01f7011641ull;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i constants,
                                                             __m128i next) {
    __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* bytes) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

}  // namespace

bool haveCarrylessMultiply() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}

__attribute__((target("pclmul,sse4.1"))) uint32_t crc32Folded(uint32_t crc, const uint8_t* bytes,
                                                              size_t count) {
    __m128i lane0 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i lane1 = load(bytes + 16);
    __m128i lane2 = load(bytes + 32);
    __m128i lane3 = load(bytes + 48);
    bytes += 64;
    count -= 64;
    const __m128i by64 =
        _mm_set_epi64x(static_cast<long long>(kFold64High), static_cast<long long>(kFold64Low));
    for (; count >= 64; bytes += 64, count -= 64) {
        lane0 = fold(lane0, by64, load(bytes));
        lane1 = fold(lane1, by64, load(bytes + 16));
        lane2 = fold(lane2, by64, load(bytes + 32));
        lane3 = fold(lane3, by64, load(bytes + 48));
    }
    const __m128i by16 =
        _mm_set_epi64x(static_cast<long long>(kFold16High), static_cast<long long>(kFold16Low));
    __m128i value = fold(lane0, by16, lane1);
    value = fold(value, by16, lane2);
    value = fold(value, by16, lane3);
    for (; count >= 16; bytes += 16, count -= 16) value = fold(value, by16, load(bytes));
    // 128 bits to 64: the low half times x^(128-32) mod P into the high half.
    __m128i product = _mm_clmulepi64_si128(value, by16, 0x10);
    value = _mm_xor_si128(_mm_srli_si128(value, 8), product);
    // 64 bits to 32.
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i by8 = _mm_set_epi64x(0, static_cast<long long>(kFold8));
    product = _mm_srli_si128(value, 4);
    value = _mm_clmulepi64_si128(_mm_and_si128(value, mask32), by8, 0x00);
    value = _mm_xor_si128(value, product);
    // Barrett reduction to the 32-bit remainder.
    const __m128i barrett =
        _mm_set_epi64x(static_cast<long long>(kBarrett), static_cast<long long>(kPolynomial));
    product = _mm_and_si128(value, mask32);
    product = _mm_clmulepi64_si128(product, barrett, 0x10);
    product = _mm_and_si128(product, mask32);
    product = _mm_clmulepi64_si128(product, barrett, 0x00);
    value = _mm_xor_si128(value, product);
    auto folded = static_cast<uint32_t>(_mm_extract_epi32(value, 1));
    for (size_t index = 0; index < count; ++index) folded = crc32Byte(folded, bytes[index]);
    return folded;
}

#else

bool haveCarrylessMultiply() { return false; }

uint32_t crc32Folded(uint32_t crc, const uint8_t* bytes, size_t count) {
    return crc32Update(crc, bytes, count);
}

#endif

}  // namespace zipsalvage
