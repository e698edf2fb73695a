// Reads an archive's central directory (APPNOTE 4.3.12), so tests can compare what a salvage
// produced with what the original archive records, and find each entry's data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct DirectoryEntry {
    std::string name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t localHeaderOffset = 0;
    size_t dataOffset = 0;  // behind the local header, its name and extra field
};

// The entries of an intact archive; empty when the end record or a header is not found.
std::vector<DirectoryEntry> listZip(const Bytes& archive);

// The archives under the shared test data's legacy/ folder, or none when it is absent.
std::vector<std::string> legacyArchivePaths();

// The most a method may write beyond the recorded size: one string or copy.
uint32_t longestCopy(uint16_t method);

}  // namespace zipsalvage::testing
