// The Zip format facts shared by the extraction and the engine: the local file header's fields
// (APPNOTE 4.3.7), the general purpose flag bits (4.4.4) and the compression methods (4.4.5).
#pragma once

#include <cstdint>

namespace zipsalvage {

inline constexpr int kLocalHeaderSize = 30;

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

// The central directory file header (APPNOTE 4.3.12) and the end of central directory record
// (4.3.16): their signatures as little-endian words, fixed sizes and field offsets.
inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr int kCentralFixedBytes = 46;
inline constexpr int kEndFixedBytes = 22;

enum CentralField : int {
    kCentralFlags = 8,
    kCentralMethod = 10,
    kCentralCrc32 = 16,
    kCentralCompressedSize = 20,
    kCentralUncompressedSize = 24,
    kCentralNameLength = 28,
    kCentralExtraLength = 30,
    kCentralCommentLength = 32,
    kCentralLocalHeaderOffset = 42,
};

enum EndField : int {
    kEndTotalEntries = 10,
    kEndDirectorySize = 12,
    kEndDirectoryOffset = 16,
    kEndCommentSize = 20,
};

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
