// The Zip format facts shared by the extraction and the engine: the records' signatures, sizes
// and field offsets (APPNOTE 4.3), the extra field IDs (4.5, 4.6), the general purpose flag
// bits (4.4.4) and the compression methods (4.4.5).
#pragma once

#include <cstdint>

#include "core/little_endian.h"

namespace zipsalvage {

// Every record starts with a 4-byte signature, "PK" and two bytes naming the record (APPNOTE
// 4.3.6); here as the little-endian words a record's first four bytes read as.
inline constexpr int kSignatureSize = 4;
inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr uint32_t kDigitalSignatureSignature = 0x05054B50;
inline constexpr uint32_t kDescriptorSignature = 0x08074B50;  // optional (APPNOTE 4.3.9.3)
inline constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;

// True for the signature of any record that may stand behind an entry's data: a local header,
// a central header, the end record, a digital signature, a data descriptor, the Zip64 end
// record and its locator.
inline bool startsZipRecord(const uint8_t* bytes) {
    switch (loadLE32(bytes)) {
        case kLocalHeaderSignature:
        case kCentralHeaderSignature:
        case kEndRecordSignature:
        case kDigitalSignatureSignature:
        case kDescriptorSignature:
        case kZip64EndRecordSignature:
        case kZip64LocatorSignature:
            return true;
        default:
            return false;
    }
}

// The local file header (APPNOTE 4.3.7): its fixed size and field offsets.
inline constexpr int kLocalHeaderSize = 30;
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

// The data descriptor (APPNOTE 4.3.9): CRC-32 and the two sizes, 4 bytes each or, where the
// entry uses Zip64, 8 bytes each, after an optional signature. Offsets count from the CRC-32.
enum DescriptorField : int {
    kDescriptorCrc32 = 0,
    kDescriptorCompressedSize = 4,
    kDescriptorUncompressedSize32 = 8,   // behind 4-byte sizes
    kDescriptorUncompressedSize64 = 12,  // behind 8-byte sizes
};
inline constexpr int kDescriptorSize32 = 12;  // without the signature
inline constexpr int kDescriptorSize64 = 20;
inline constexpr int kLongestDescriptor = kSignatureSize + kDescriptorSize64;

// The central directory file header (APPNOTE 4.3.12); the name, extra field and comment follow.
inline constexpr int kCentralHeaderSize = 46;
enum CentralField : int {
    kCentralVersionMadeBy = 4,
    kCentralVersionNeeded = 6,
    kCentralFlags = 8,
    kCentralMethod = 10,
    kCentralModTime = 12,
    kCentralModDate = 14,
    kCentralCrc32 = 16,
    kCentralCompressedSize = 20,
    kCentralUncompressedSize = 24,
    kCentralNameLength = 28,
    kCentralExtraLength = 30,
    kCentralCommentLength = 32,
    kCentralDiskNumberStart = 34,
    kCentralInternalAttributes = 36,
    kCentralExternalAttributes = 38,
    kCentralLocalHeaderOffset = 42,
};

// The end of central directory record (APPNOTE 4.3.16); the archive comment follows.
inline constexpr int kEndRecordSize = 22;
inline constexpr int kLongestComment = 65535;  // what the 16-bit comment length holds
enum EndField : int {
    kEndThisDisk = 4,
    kEndDirectoryDisk = 6,
    kEndDiskEntries = 8,
    kEndTotalEntries = 10,
    kEndDirectorySize = 12,
    kEndDirectoryOffset = 16,
    kEndCommentLength = 20,
};

// The Zip64 end of central directory record (APPNOTE 4.3.14), version 1 without the extensible
// data sector, and its locator (4.3.15).
inline constexpr int kZip64EndRecordSize = 56;
enum Zip64EndField : int {
    kZip64EndRecordLength = 4,  // the record's size counted after this 8-byte field
    kZip64EndVersionMadeBy = 12,
    kZip64EndVersionNeeded = 14,
    kZip64EndThisDisk = 16,
    kZip64EndDirectoryDisk = 20,
    kZip64EndDiskEntries = 24,
    kZip64EndTotalEntries = 32,
    kZip64EndDirectorySize = 40,
    kZip64EndDirectoryOffset = 48,
};
// The record's length field counts what follows it, not itself and the signature.
inline constexpr int kZip64EndUncountedSize = kZip64EndRecordLength + 8;
inline constexpr int kZip64EndLengthCounted = kZip64EndRecordSize - kZip64EndUncountedSize;
inline constexpr int kZip64LocatorSize = 20;
enum Zip64LocatorField : int {
    kLocatorEndDisk = 4,
    kLocatorEndOffset = 8,
    kLocatorTotalDisks = 16,
};

// A 32-bit field holding 0xFFFFFFFF (a 16-bit one 0xFFFF) says "the value is in the Zip64
// record" (APPNOTE 4.4.1.4), so it is also the first value that needs Zip64.
inline constexpr uint32_t kZip64Marker32 = 0xFFFFFFFFu;
inline constexpr uint16_t kZip64Marker16 = 0xFFFFu;

// Extra fields (APPNOTE 4.5.1): a list of header ID, data size and data; the IDs this program
// reads or writes (4.5.2, 4.6).
inline constexpr int kExtraFieldHeaderSize = 4;
inline constexpr int kExtraFieldDataSize = 2;  // offset of the data size in a field's header
inline constexpr uint16_t kExtraZip64 = 0x0001;
inline constexpr uint16_t kExtraNtfsTimes = 0x000A;
inline constexpr uint16_t kExtraExtendedTimestamp = 0x5455;
inline constexpr uint16_t kExtraUnicodePath = 0x7075;
inline constexpr uint16_t kExtraUnixIds = 0x7875;
inline constexpr uint16_t kExtraUnicodeComment = 0x6375;
inline constexpr uint16_t kExtraWinZipAes = 0x9901;
// The Zip64 extended information field (APPNOTE 4.5.3) holds 8-byte values, in the order
// uncompressed size, compressed size, local header offset, of those whose 32-bit field holds
// the marker; a local header's holds both sizes.
inline constexpr int kZip64ValueSize = 8;

inline constexpr uint16_t kFlagEncrypted = 1u << 0;
inline constexpr uint16_t kFlagDataDescriptor = 1u << 3;
inline constexpr uint16_t kFlagUtf8Name = 1u << 11;

enum ZipMethod : uint16_t {
    kMethodStored = 0,
    kMethodShrunk = 1,
    kMethodReducedFactor1 = 2,  // to kMethodReducedFactor1 + 3: factors 1 to 4
    kMethodReducedFactor4 = 5,
    kMethodImploded = 6,
    kMethodTokenized = 7,  // reserved; never defined for Zip
    kMethodDeflated = 8,
    kMethodDeflate64 = 9,
    kMethodBzip2 = 12,
    kMethodLzma = 14,  // APPNOTE 5.8: a 4-byte header and the properties ahead of the data
    kMethodZstd = 93,
    kMethodXz = 95,
    kMethodPpmd = 98,
    kMethodAes = 99,  // WinZip AES: the real method is in the 0x9901 extra field
};

// APPNOTE 4.4.4: for method 14, bit 1 says the data ends with an end-of-stream marker.
inline constexpr uint16_t kFlagLzmaEndMarker = 1u << 1;

}  // namespace zipsalvage
