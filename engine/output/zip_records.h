// The Zip records the engine reads and writes, as packed little-endian byte images
// (APPNOTE 4.3.7 local file header, 4.3.12 central directory header, 4.3.16 end record, and
// their Zip64 companions: 4.5.3 extended information extra field, 4.3.14 and 4.3.15).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/little_endian.h"
#include "core/zip_format.h"
#include "engine/output/entry_metadata.h"

namespace zipsalvage {

// Names up to this length are taken on the length alone; longer ones must look like a header
// (headerIsPlausible), since most false signatures give a length far above it.
inline constexpr int kShortNameLength = 270;
inline constexpr int kMaxNameLength = 65535;  // what the 16-bit name length field holds
inline constexpr uint16_t kVersionWritten = 20;
inline constexpr uint16_t kVersionZip64 = 45;          // APPNOTE 4.4.3.2: Zip64 format extensions
inline constexpr uint32_t kDirectoryAttribute = 0x10;  // MS-DOS directory bit

// The Zip64 extra of a local header holds both sizes (APPNOTE 4.5.3).
inline constexpr int kZip64LocalExtraSize = kExtraFieldHeaderSize + 2 * kZip64ValueSize;
// At most both sizes and the local header's offset in a central header.
inline constexpr int kZip64CentralExtraMaxSize = kExtraFieldHeaderSize + 3 * kZip64ValueSize;

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

// An entry's sizes, whatever field they came from.
struct EntrySizes {
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

// The sizes a local header records: its 32-bit fields, or, where a field holds 0xFFFFFFFF, the
// value in the Zip64 extended information extra field among `extra` (APPNOTE 4.5.3). A field
// whose value is missing from the extra keeps 0xFFFFFFFF.
EntrySizes recordedSizes(const LocalHeader& header, const uint8_t* extra, size_t extraLength);

// True for a compression method APPNOTE 4.4.5 lists (0..20, 93..99): one some writer uses.
bool methodIsListed(uint16_t method);

// True when a candidate header found by its signature may be taken for an entry. Names of
// 1..kShortNameLength bytes pass on their length; an empty or longer name passes when the
// method is one APPNOTE 4.4.5 lists, and a longer one also when no name byte is a control
// character; a longer name holding a zero byte passes only with a listed method and no other
// control character.
bool headerIsPlausible(const LocalHeader& header, const uint8_t* name, size_t nameLength);
// True when a rejected candidate's name still reads like one: no control characters apart from
// zero bytes (a name damaged by a few zeroed bytes). Such a rejection is worth a log line.
bool nameLooksReal(const uint8_t* name, size_t nameLength);

// One entry written to the output, kept for the central directory.
struct SalvagedEntry {
    SalvagedEntry* next;
    std::string name;  // raw name bytes, as many as the header's name length
    uint64_t headerOffset;
    EntrySizes sizes;  // as written; the header's 32-bit fields say 0xFFFFFFFF where they overflow
    bool zip64Local;   // the local header carries the Zip64 extra (decided before its data)
    LocalHeader header;  // as last written: final method, CRC-32, sizes, flags
    EntryMetadata metadata;
};

// True when a size needs the Zip64 extra field.
inline bool needsZip64(uint64_t value) { return value >= kZip64Marker32; }

// Sets the header's size fields for `entry.sizes` and `entry.zip64Local`, and raises its
// version needed to 4.5 when the entry uses Zip64 anywhere.
void settleLocalSizes(SalvagedEntry& entry);
// The Zip64 extra of the local header (kZip64LocalExtraSize bytes) when zip64Local is set;
// returns the number of bytes written to `extra`, 0 otherwise.
int buildLocalZip64Extra(const SalvagedEntry& entry, uint8_t* extra);

// The Zip64 extra of the central header: the sizes when either needs it, the local header's
// offset when it does (APPNOTE 4.5.3). Returns its length (0 when none), at most
// kZip64CentralExtraMaxSize.
int buildCentralZip64Extra(const SalvagedEntry& entry, uint8_t* extra);
// The central directory header for `entry` with `extraLength` bytes of extra fields (the name,
// the extra fields and the comment follow it in the file).
void buildCentralHeader(const SalvagedEntry& entry, uint16_t extraLength, uint8_t* image);

// Where the central directory lies and how many headers it holds.
struct DirectoryExtent {
    uint64_t entryCount = 0;
    uint64_t size = 0;
    uint64_t offset = 0;
};
// True when the end record cannot hold the directory's count, size or offset, or the directory
// ends beyond 4 GiB: the Zip64 end record and its locator are then written.
bool needsZip64End(const DirectoryExtent& directory);
// The end record; with Zip64 every field that Zip64 records says so (0xFFFF, 0xFFFFFFFF).
void buildEndRecord(const DirectoryExtent& directory, uint8_t* image);
// The Zip64 end of central directory record (APPNOTE 4.3.14), version 4.5, one disk.
void buildZip64EndRecord(const DirectoryExtent& directory, uint8_t* image);
// Its locator (APPNOTE 4.3.15) for a Zip64 end record at `zip64EndOffset`.
void buildZip64Locator(uint64_t zip64EndOffset, uint8_t* image);

}  // namespace zipsalvage
