// Builds small Zip archives byte by byte for tests, with any field as damaged as a test needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct TestEntry {
    std::string name;
    Bytes data;  // the entry's data as it lies in the archive (already compressed)
    uint16_t method = 0;
    uint16_t flags = 0;
    uint16_t modTime = 0x6A21;
    uint16_t modDate = 0x5987;
    Bytes extra;
    int64_t compressedSize = -1;    // -1: data.size()
    int64_t uncompressedSize = -1;  // -1: data.size()
    int64_t crc32 = -1;             // -1: CRC-32 of data
    // Central directory only.
    uint16_t versionMadeBy = 20;
    uint32_t externalAttributes = 0;
    std::string comment;
};

// A local header, name, extra field and data for `entry`.
Bytes localRecord(const TestEntry& entry);

// `data` encrypted with the traditional PKWARE cipher under `password` (APPNOTE 6.1.5): a
// 12-byte encryption header that ends with `checkWord` (APPNOTE 6.1.6: the high half of the
// CRC-32, or the mod time with flag bit 3; its high byte is the check byte), then the data. The
// other header bytes are fixed, so archives are the same from run to run.
Bytes encryptTraditional(const Bytes& data, const std::string& password, uint16_t checkWord);

// Local records for every entry, then a central directory and end record.
Bytes buildArchive(const std::vector<TestEntry>& entries, const std::string& archiveComment = "");

// The entries of an archive's central directory, as read back by an independent parser.
struct ListedEntry {
    std::string name;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t externalAttributes = 0;
    uint16_t extraLength = 0;  // central extra field and comment
    uint16_t versionMadeBy = 0;
    Bytes localExtra;
    Bytes centralExtra;
    std::string comment;
    uint32_t localOffset = 0;
    Bytes localRecord;  // header, name, extra field and data as they lie in the archive
    Bytes data;         // the stored data, or the deflated bytes
    Bytes content;      // the entry's file: data itself, or zlib's inflate of deflated data
};

// Parses a whole archive through its end record and central directory, checking that each
// local header agrees with its central header and that each stored or deflated entry's content
// has its recorded CRC-32. Returns false (with `problem` set) otherwise. Entries in other
// methods list their data as their content.
bool readArchive(const Bytes& archive, std::vector<ListedEntry>& entries, std::string& problem,
                 std::string* archiveComment = nullptr);

}  // namespace zipsalvage::testing
