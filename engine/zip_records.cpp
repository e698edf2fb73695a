// Building the central directory header and the end record from what the entries recorded.
#include "engine/zip_records.h"

#include <cstring>

namespace zipsalvage {

void buildCentralHeader(const SalvagedEntry& entry, uint8_t* image) {
    std::memset(image, 0, kCentralHeaderSize);
    std::memcpy(image, kCentralSignature, 4);
    const LocalHeader& header = entry.header;
    const EntryMetadata& metadata = entry.metadata;
    // Made by: what the damaged archive's directory said (host system and its attributes), or
    // MS-DOS, format 2.0.
    storeLE16(image + 4, metadata.witnessed ? metadata.versionMadeBy : kVersionWritten);
    storeLE16(image + 6, headerField16(header, kLocalVersionNeeded));
    storeLE16(image + 8, headerField16(header, kLocalFlags));
    storeLE16(image + 10, headerField16(header, kLocalMethod));
    storeLE16(image + 12, headerField16(header, kLocalModTime));
    storeLE16(image + 14, headerField16(header, kLocalModDate));
    storeLE32(image + 16, headerField32(header, kLocalCrc32));
    storeLE32(image + 20, headerField32(header, kLocalCompressedSize));
    storeLE32(image + 24, headerField32(header, kLocalUncompressedSize));
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    storeLE16(image + 28, nameLength);
    storeLE16(image + 30, static_cast<uint16_t>(metadata.centralExtra.size()));
    storeLE16(image + 32, static_cast<uint16_t>(metadata.comment.size()));
    // Disk number and internal attributes stay 0.
    bool isFolder = nameLength > 0 && entry.name[nameLength - 1] == '/' &&
                    headerField32(header, kLocalUncompressedSize) == 0;
    uint32_t attributes = isFolder ? kDirectoryAttribute : 0;
    // A folder stays one even where the directory's attributes left the MS-DOS bit clear.
    if (metadata.witnessed) attributes |= metadata.externalAttributes;
    storeLE32(image + 38, attributes);
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
