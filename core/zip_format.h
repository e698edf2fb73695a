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
};

}  // namespace zipsalvage
