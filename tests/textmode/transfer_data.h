// Test data for the text-mode transfer suites: the text and binaries of real archives, not
// the ten-word text of test_files.h, whose long repeats make deflate streams in which a lost
// byte can stay unseen for tens of kilobytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

inline uint64_t nextState(uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// Lines of words from a vocabulary of 2000, a few of them common.
inline Bytes vocabularyText(size_t size, uint32_t seed) {
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    std::vector<std::string> vocabulary;
    for (int word = 0; word < 2000; ++word) {
        std::string letters;
        int length = 2 + static_cast<int>(nextState(state) % 9);
        for (int letter = 0; letter < length; ++letter) {
            letters.push_back(static_cast<char>('a' + nextState(state) % 26));
        }
        vocabulary.push_back(letters);
    }
    Bytes text;
    while (text.size() < size) {
        uint64_t pick = nextState(state);
        const std::string& word =
            vocabulary[(pick >> 30) % 3 == 0 ? (pick >> 8) % 2000 : (pick >> 40) % 60];
        text.insert(text.end(), word.begin(), word.end());
        text.push_back((pick >> 20) % 9 == 0 ? '\n' : ' ');
    }
    text.resize(size);
    return text;
}

// What programs hold: counters, small fields, names, runs of zeros.
inline Bytes structuredBinary(size_t size, uint32_t seed) {
    static const char* const kNames[] = {"init",    "load",  "store", "symbol",
                                         "section", ".text", ".data", "main"};
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 3;
    uint32_t counter = seed * 1000;
    Bytes bytes;
    while (bytes.size() < size) {
        uint64_t pick = nextState(state);
        switch (pick % 4) {
            case 0:
                counter += 1 + static_cast<uint32_t>((pick >> 8) % 5);
                for (int shift = 0; shift < 32; shift += 8)
                    bytes.push_back(static_cast<uint8_t>(counter >> shift));
                break;
            case 1:
                bytes.push_back(static_cast<uint8_t>(pick >> 16));
                bytes.push_back(static_cast<uint8_t>((pick >> 24) & 0x0F));
                break;
            case 2:
                for (const char* at = kNames[(pick >> 32) % 8]; *at != '\0'; ++at)
                    bytes.push_back(static_cast<uint8_t>(*at));
                bytes.push_back(0);
                break;
            default:
                bytes.insert(bytes.end(), (pick >> 40) % 8, 0);
                break;
        }
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace zipsalvage::testing
