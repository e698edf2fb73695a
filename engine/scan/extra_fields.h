// The extra fields of a local header (APPNOTE 4.5): which ones an output entry keeps, the
// Info-ZIP Unicode Path field, and the walk over a field list that may be damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/zip_format.h"

namespace zipsalvage {

// One field of an extra field list: its ID and its data inside the list.
struct ExtraField {
    uint16_t id;
    const uint8_t* data;
    uint16_t size;
};

// The next complete field at `cursor`, which then moves past it. False at the end of the list,
// and at a field whose data would run past the list's end: a damaged length hides everything
// behind it, so the walk stops there.
bool nextExtraField(const uint8_t* list, size_t listSize, size_t& cursor, ExtraField& field);

// The WinZip AES field (APPNOTE 4.6.4, the WinZip AES note): vendor version (AE-1, AE-2),
// vendor "AE", key strength and the compression method under the encryption.
inline constexpr uint16_t kAesVendorVersion2 = 2;  // AE-2: the CRC-32 field is 0, not recorded
struct AesField {
    bool present = false;  // a well-formed field was found
    uint16_t vendorVersion = 0;
    uint8_t strength = 0;  // 1, 2, 3: 128, 192, 256-bit keys
    uint16_t method = 0;
};

// The first well-formed WinZip AES field of the list.
AesField findAesField(const uint8_t* list, size_t listSize);

// `list` without its fields of ID `id` (a damaged tail is dropped as well).
std::vector<uint8_t> withoutExtraField(const std::vector<uint8_t>& list, uint16_t id);

// The fields of one local header that an output entry carries, in both of its headers.
struct KeptExtraFields {
    std::vector<uint8_t> local;
    std::vector<uint8_t> central;  // the extended timestamp holds only its mod time here
};

// Keeps the well-formed extended timestamp (0x5455), Unix UID/GID (0x7875) and NTFS times
// (0x000A) fields, the first of each; with `keepAes`, the WinZip AES field (0x9901) as well.
// Fields this program does not read are kept as they are, in both headers; Zip64, Unicode Path
// and Unicode comment fields are dropped (the writer rebuilds Zip64; the Unicode Path name has
// become the entry's name), as are malformed or repeated fields of the kinds read here.
KeptExtraFields keepExtraFields(const uint8_t* list, size_t listSize, bool keepAes);

// The name carried by a well-formed Unicode Path field (version 1) whose CRC-32 matches
// `rawName`, the name in the header: true with `utf8Name` set when there is one.
bool unicodePathName(const uint8_t* list, size_t listSize, const uint8_t* rawName,
                     size_t rawNameLength, std::string& utf8Name);

}  // namespace zipsalvage
