// Two-byte pair search: in compressed or random data one byte value in 256 begins a pair and one
// pair in 65,536 matches, so searching for the pair, not its first byte, is what makes the scan
// as fast as reading.
#include "engine/scan/pair_search.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zipsalvage {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kLowSeven = 0x7F7F7F7F7F7F7F7Full;

uint64_t load64(const uint8_t* bytes) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The high bit of every byte of `word` that is zero, and of no other: (b & 0x7F) + 0x7F carries
// into the high bit for every byte but zero and never into the next byte.
uint64_t zeroBytes(uint64_t word) { return ~(((word & kLowSeven) + kLowSeven) | word | kLowSeven); }

// The byte-by-byte rule over the last few bytes of a run.
size_t findTail(const uint8_t* bytes, size_t index, size_t count, uint8_t first, uint8_t second) {
    for (; index < count; ++index) {
        if (bytes[index] == first && (index + 1 == count || bytes[index + 1] == second)) break;
    }
    return index;
}

}  // namespace

size_t findBytePairPortable(const uint8_t* bytes, size_t count, uint8_t first, uint8_t second) {
    uint64_t firsts = first * kOnes;
    uint64_t seconds = second * kOnes;
    size_t index = 0;
    // Bytes index..index+7 against `first` and index+1..index+8 against `second`, in
    // little-endian lanes so that the lowest set lane is the earliest pair.
    for (; index + 9 <= count; index += 8) {
        uint64_t here = load64(bytes + index);
        uint64_t next = load64(bytes + index + 1);
        if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
            here = __builtin_bswap64(here);
            next = __builtin_bswap64(next);
        }
        uint64_t pairs = zeroBytes(here ^ firsts) & zeroBytes(next ^ seconds);
        if (pairs != 0) return index + static_cast<size_t>(__builtin_ctzll(pairs) / 8);
    }
    return findTail(bytes, index, count, first, second);
}

size_t findBytePair(const uint8_t* bytes, size_t count, uint8_t first, uint8_t second) {
#if defined(__SSE2__)
    const __m128i firsts = _mm_set1_epi8(static_cast<char>(first));
    const __m128i seconds = _mm_set1_epi8(static_cast<char>(second));
    size_t index = 0;
    for (; index + 17 <= count; index += 16) {
        __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + index));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + index + 1));
        __m128i pairs = _mm_and_si128(_mm_cmpeq_epi8(here, firsts), _mm_cmpeq_epi8(next, seconds));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(pairs));
        if (mask != 0) return index + static_cast<size_t>(__builtin_ctz(mask));
    }
    return findTail(bytes, index, count, first, second);
#else
    return findBytePairPortable(bytes, count, first, second);
#endif
}

}  // namespace zipsalvage
