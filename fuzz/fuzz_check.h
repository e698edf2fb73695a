// How a fuzz target reports a broken property: under libFuzzer it aborts, so the input is kept
// as a crash; in the corpus replay test it fails the test and the target goes on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zipsalvage::fuzz {

using FailureHandler = void (*)(const char* what, const char* file, int line);

// nullptr restores the default: print the failure and abort.
void setFailureHandler(FailureHandler handler);
void reportFailure(const char* what, const char* file, int line);

// The bytes of a fuzz input taken field by field; a field past the end reads as zeros, so every
// input, however short, is a valid case.
struct FuzzInput {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t le16() { return byte() | static_cast<uint32_t>(byte()) << 8; }
    uint32_t le32() { return le16() | le16() << 16; }
    const uint8_t* rest() const { return data + (pos < size ? pos : size); }
    size_t restSize() const { return pos < size ? size - pos : 0; }
};

}  // namespace zipsalvage::fuzz

#define FUZZ_CHECK(condition, what)                                                    \
    do {                                                                               \
        if (!(condition)) ::zipsalvage::fuzz::reportFailure(what, __FILE__, __LINE__); \
    } while (0)
