// A small deflate writer for tests: every choice it makes (block types, literals, match lengths
// and distances, code lengths, how the code lengths are run-length coded) is drawn from a choice
// source, so random or fuzzed choices reach every length and distance code, the whole window
// and every block type. It knows the bytes its stream decodes to.
//
// Encoders met in the wild only cover what they emit (zlib never uses a distance above 32506);
// this one emits every valid stream shape with some probability, including Deflate64's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zipsalvage::fuzz {

// The generator's choices: taken from the given bytes while they last, then from a
// pseudo-random sequence seeded by those bytes (so a short fuzz input still makes a long stream).
struct ChoiceSource {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    uint64_t state = 0;

    ChoiceSource(const uint8_t* bytes, size_t count);
    explicit ChoiceSource(uint64_t seed);
    // A number in 0..bound-1 (bound >= 1).
    uint32_t below(uint32_t bound);
    // True about once in `inEvery` draws.
    bool oneIn(uint32_t inEvery) { return below(inEvery) == 0; }
};

enum class DeflateVariant {
    kDeflate,    // RFC 1951: distances up to 32768, length symbol 285 = 258
    kDeflate64,  // 64 KiB window: symbol 285 = 3 + 16 extra bits, distance codes 30 and 31
};

struct GeneratedStream {
    std::vector<uint8_t> stream;
    std::vector<uint8_t> content;  // what the stream decodes to
    // What the stream used: bit (symbol - 257) per length symbol, bit per distance symbol, bit
    // per block type; the longest distance and the longest match.
    uint32_t lengthSymbolsUsed = 0;
    uint32_t distanceSymbolsUsed = 0;
    uint32_t blockTypesUsed = 0;
    uint32_t longestDistance = 0;
    uint32_t longestMatch = 0;
};

// A complete, valid stream of at least `contentTarget` decoded bytes (its last block may add
// more).
GeneratedStream generateDeflateStream(ChoiceSource& choices, DeflateVariant variant,
                                      size_t contentTarget);

}  // namespace zipsalvage::fuzz
