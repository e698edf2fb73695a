// The Zip records the engine reads and writes, as packed little-endian byte images
// (APPNOTE 4.3.7 local file header, 4.3.12 central directory header, 4.3.16 end record).
#pragma once

#include <cstdint>

#include "core/little_endian.h"
#include "engine/entry_metadata.h"

namespace zipsalvage {

inline constexpr int kLocalHeaderSize = 30;
inline constexpr int kCentralHeaderSize = 46;
inline constexpr int kEndRecordSize = 22;
inline constexpr int kEndCommentLength = 20;  // offset of the end record's comment length
inline constexpr int kMaxNameLength = 270;    // longer (or empty) names reject the header
inline constexpr uint16_t kVersionWritten = 20;
inline constexpr uint32_t kDirectoryAttribute = 0x10;  // MS-DOS directory bit

inline constexpr uint8_t kLocalSignature[4] = {0x50, 0x4B, 0x03, 0x04};
inline constexpr uint8_t kCentralSignature[4] = {0x50, 0x4B, 0x01, 0x02};
inline constexpr uint8_t kEndSignature[4] = {0x50, 0x4B, 0x05, 0x06};

// Field offsets of the local file header.
enum LocalField : int {
    kLocalVersionNeeded = 4,
    kLocalFlags = 6,
    kLocalMethod = 8,
    kLocalModTime = 10,
    kLocalModDate = 12,
    kLocalCrc32 = 14,
    kLocalCompressedSize = 18,
    kLocalUncompressedSize = 22,
    kLocalNameLength = 26,
    kLocalExtraLength = 28,
};

struct LocalHeader {
    uint8_t bytes[kLocalHeaderSize];
};

inline uint16_t headerField16(const LocalHeader& header, LocalField field) {
    return loadLE16(header.bytes + field);
}
inline uint32_t headerField32(const LocalHeader& header, LocalField field) {
    return loadLE32(header.bytes + field);
}
inline void setHeaderField16(LocalHeader& header, LocalField field, uint16_t value) {
    storeLE16(header.bytes + field, value);
}
inline void setHeaderField32(LocalHeader& header, LocalField field, uint32_t value) {
    storeLE32(header.bytes + field, value);
}

// One entry written to the output, kept for the central directory.
struct SalvagedEntry {
    SalvagedEntry* next;
    char* name;  // raw name bytes plus a terminating zero
    uint32_t headerOffset;
    LocalHeader header;  // as last written: final method, CRC-32, sizes, flags
    EntryMetadata metadata;
};

// The central directory header for `entry` (its name, central extra fields and comment follow
// it in the file).
void buildCentralHeader(const SalvagedEntry& entry, uint8_t* image);

// The end record for `entryCount` central headers of `directorySize` bytes at `directoryOffset`.
void buildEndRecord(uint32_t entryCount, uint32_t directorySize, uint32_t directoryOffset,
                    uint8_t* image);

}  // namespace zipsalvage
