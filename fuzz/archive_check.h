// An independent reader of the archives this program writes: checks every record against the
// others and every entry's data against its CRC-32, with zlib as the outside oracle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zipsalvage::fuzz {

struct CheckedEntry {
    std::string name;
    uint16_t method = 0;
    std::vector<uint8_t> content;  // the entry's bytes, inflated when it is deflated; the data
                                   // itself for a method copied as it was
};

// Empty when `archive` is a complete output archive: local records one after another from
// offset 0, then one central header per record that agrees with it field by field, then the
// end record followed by exactly its comment; extra fields only of the kinds carried over;
// every stored or deflated entry unencrypted, its data decoding to exactly its recorded size
// with its recorded CRC-32 (entries in other methods are copies, checked for shape only).
// Otherwise what is wrong.
// `entries` (optional) receives the entries in order.
std::string checkSalvagedArchive(const uint8_t* archive, size_t size,
                                 std::vector<CheckedEntry>* entries = nullptr);

// Raw deflate data inflated by zlib. True when the stream ended within `size` bytes; `output`
// holds whatever zlib produced either way, `consumed` how many input bytes it used.
bool zlibInflate(const uint8_t* data, size_t size, std::vector<uint8_t>& output,
                 size_t* consumed = nullptr, size_t outputLimit = SIZE_MAX);

// Raw deflate data of `size` bytes made by zlib at `level`.
std::vector<uint8_t> zlibDeflate(const uint8_t* data, size_t size, int level = 6);

uint32_t zlibCrc32(const uint8_t* data, size_t size);

}  // namespace zipsalvage::fuzz
