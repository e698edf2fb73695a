// Building the central directory header and the end record from what the entries recorded.
#include "engine/zip_records.h"

#include <cstring>

namespace zipsalvage {

void buildCentralHeader(const SalvagedEntry& entry, uint8_t* image) {
    std::memset(image, 0, kCentralHeaderSize);
    std::memcpy(image, kCentralSignature, 4);
    const LocalHeader& header = entry.header;
    storeLE16(image + 4, kVersionWritten);  // made by: MS-DOS, format 2.0
    storeLE16(image + 6, kVersionWritten);
    storeLE16(image + 8, 0);
    storeLE16(image + 10, headerField16(header, kLocalMethod));
    storeLE16(image + 12, headerField16(header, kLocalModTime));
    storeLE16(image + 14, headerField16(header, kLocalModDate));
    storeLE32(image + 16, headerField32(header, kLocalCrc32));
    storeLE32(image + 20, headerField32(header, kLocalCompressedSize));
    storeLE32(image + 24, headerField32(header, kLocalUncompressedSize));
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    storeLE16(image + 28, nameLength);
    // Extra, comment, disk number and internal attributes stay 0.
    bool isFolder = nameLength > 0 && entry.name[nameLength - 1] == '/' &&
                    headerField32(header, kLocalUncompressedSize) == 0;
    storeLE32(image + 38, isFolder ? kDirectoryAttribute : 0);
    storeLE32(image + 42, entry.headerOffset);
}

void buildEndRecord(uint32_t entryCount, uint32_t directorySize, uint32_t directoryOffset,
                    uint8_t* image) {
    std::memset(image, 0, kEndRecordSize);
    std::memcpy(image, kEndSignature, 4);
    storeLE16(image + 8, static_cast<uint16_t>(entryCount));
    storeLE16(image + 10, static_cast<uint16_t>(entryCount));
    storeLE32(image + 12, directorySize);
    storeLE32(image + 16, directoryOffset);
}

}  // namespace zipsalvage
