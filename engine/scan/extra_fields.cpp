// Which extra fields of a damaged local header are well-formed enough to carry over.
#include "engine/scan/extra_fields.h"

#include "core/crc32.h"
#include "core/little_endian.h"

namespace zipsalvage {
namespace {

// The largest NTFS field kept: the reserved word and a few attributes. Windows writes 32 bytes.
constexpr uint16_t kMaxNtfsBytes = 256;
constexpr uint16_t kNtfsTimesTag = 1;
constexpr uint16_t kNtfsTimesSize = 24;  // mod, access and creation time, 8 bytes each
constexpr uint8_t kTimestampModTime = 1;
constexpr uint16_t kAesDataSize = 7;  // APPNOTE 4.6.4 (WinZip AE-x)

// What the kept fields may take, leaving room for the Zip64 field the writer puts first.
constexpr size_t kMaxKeptBytes = 65535 - 32;

// Fields not read here. The Zip64 field is rebuilt by the writer, the Unicode Path field has
// become the name (its CRC-32 is of the old one), the Unicode comment belongs to a central
// header, and the AES, time and ID fields are kept only well-formed, above.
bool isForeignField(uint16_t id) {
    return id != kExtraZip64 && id != kExtraUnicodePath && id != kExtraUnicodeComment &&
           id != kExtraWinZipAes && id != kExtraExtendedTimestamp && id != kExtraUnixIds &&
           id != kExtraNtfsTimes;
}

int timesFlagged(uint8_t flags) { return (flags & 1) + ((flags >> 1) & 1) + ((flags >> 2) & 1); }

// Info-ZIP extended timestamp: a flag byte, then a 4-byte time per flag bit (bits 0-2) set, in
// that order. A local header may carry fewer times than flagged, never more.
bool wellFormedTimestamp(const ExtraField& field) {
    if (field.size < 1 || (field.size - 1) % 4 != 0) return false;
    return (field.size - 1) / 4 <= timesFlagged(field.data[0]);
}

// Info-ZIP Unix UID/GID: version 1, then a sized UID and a sized GID filling the field exactly.
bool wellFormedUnixIds(const ExtraField& field) {
    if (field.size < 3 || field.data[0] != 1) return false;
    size_t uidSize = field.data[1];
    if (2 + uidSize + 1 > field.size) return false;
    size_t gidSize = field.data[2 + uidSize];
    return 3 + uidSize + gidSize == field.size;
}

// NTFS: 4 reserved bytes, then tagged attributes filling the field exactly; the times
// attribute (tag 1) is 24 bytes long.
bool wellFormedNtfs(const ExtraField& field) {
    if (field.size < 4 || field.size > kMaxNtfsBytes) return false;
    size_t cursor = 4;
    while (cursor < field.size) {
        if (field.size - cursor < 4) return false;
        uint16_t tag = loadLE16(field.data + cursor);
        uint16_t size = loadLE16(field.data + cursor + kExtraFieldDataSize);
        if (size > field.size - cursor - 4) return false;
        if (tag == kNtfsTimesTag && size != kNtfsTimesSize) return false;
        cursor += 4 + size;
    }
    return true;
}

// WinZip AES: vendor version 1 or 2, vendor "AE", strength 1 to 3, then the real method.
bool wellFormedAes(const ExtraField& field) {
    if (field.size != kAesDataSize) return false;
    uint16_t version = loadLE16(field.data);
    return (version == 1 || version == 2) && field.data[2] == 'A' && field.data[3] == 'E' &&
           field.data[4] >= 1 && field.data[4] <= 3;
}

void appendField(std::vector<uint8_t>& out, uint16_t id, const uint8_t* data, uint16_t size) {
    uint8_t head[kExtraFieldHeaderSize];
    storeLE16(head, id);
    storeLE16(head + kExtraFieldDataSize, size);
    out.insert(out.end(), head, head + kExtraFieldHeaderSize);
    out.insert(out.end(), data, data + size);
}

}  // namespace

bool nextExtraField(const uint8_t* list, size_t listSize, size_t& cursor, ExtraField& field) {
    if (cursor > listSize || listSize - cursor < kExtraFieldHeaderSize) return false;
    uint16_t size = loadLE16(list + cursor + kExtraFieldDataSize);
    if (size > listSize - cursor - kExtraFieldHeaderSize) return false;
    field.id = loadLE16(list + cursor);
    field.data = list + cursor + kExtraFieldHeaderSize;
    field.size = size;
    cursor += kExtraFieldHeaderSize + size;
    return true;
}

KeptExtraFields keepExtraFields(const uint8_t* list, size_t listSize, bool keepAes) {
    KeptExtraFields kept;
    bool haveTimestamp = false;
    bool haveUnixIds = false;
    bool haveNtfs = false;
    bool haveAes = false;
    size_t cursor = 0;
    ExtraField field{};
    while (nextExtraField(list, listSize, cursor, field)) {
        if (field.id == kExtraExtendedTimestamp && !haveTimestamp && wellFormedTimestamp(field)) {
            haveTimestamp = true;
            appendField(kept.local, field.id, field.data, field.size);
            // The central form holds the flag byte and the mod time only (as Info-ZIP writes it).
            bool hasModTime = (field.data[0] & kTimestampModTime) != 0 && field.size >= 5;
            appendField(kept.central, field.id, field.data, hasModTime ? 5 : 1);
        } else if (field.id == kExtraUnixIds && !haveUnixIds && wellFormedUnixIds(field)) {
            haveUnixIds = true;
            appendField(kept.local, field.id, field.data, field.size);
            appendField(kept.central, field.id, field.data, field.size);
        } else if (field.id == kExtraNtfsTimes && !haveNtfs && wellFormedNtfs(field)) {
            haveNtfs = true;
            appendField(kept.local, field.id, field.data, field.size);
            appendField(kept.central, field.id, field.data, field.size);
        } else if (field.id == kExtraWinZipAes && keepAes && !haveAes && wellFormedAes(field)) {
            haveAes = true;
            appendField(kept.local, field.id, field.data, field.size);
            appendField(kept.central, field.id, field.data, field.size);
        } else if (isForeignField(field.id) &&
                   kept.local.size() + kExtraFieldHeaderSize + field.size <= kMaxKeptBytes) {
            // A field this program does not read (jar's 0xCAFE marker, a vendor's data) is the
            // writer's business: it goes on as it was, in both headers.
            appendField(kept.local, field.id, field.data, field.size);
            appendField(kept.central, field.id, field.data, field.size);
        }
    }
    return kept;
}

AesField findAesField(const uint8_t* list, size_t listSize) {
    AesField aes;
    size_t cursor = 0;
    ExtraField field{};
    while (nextExtraField(list, listSize, cursor, field)) {
        if (field.id != kExtraWinZipAes || !wellFormedAes(field)) continue;
        aes.present = true;
        aes.vendorVersion = loadLE16(field.data);
        aes.strength = field.data[4];
        aes.method = loadLE16(field.data + 5);
        break;
    }
    return aes;
}

std::vector<uint8_t> withoutExtraField(const std::vector<uint8_t>& list, uint16_t id) {
    std::vector<uint8_t> kept;
    size_t cursor = 0;
    ExtraField field{};
    while (nextExtraField(list.data(), list.size(), cursor, field)) {
        if (field.id != id) appendField(kept, field.id, field.data, field.size);
    }
    return kept;
}

bool unicodePathName(const uint8_t* list, size_t listSize, const uint8_t* rawName,
                     size_t rawNameLength, std::string& utf8Name) {
    size_t cursor = 0;
    ExtraField field{};
    while (nextExtraField(list, listSize, cursor, field)) {
        // Version 1, the CRC-32 of the header's name, then the UTF-8 name (Info-ZIP's field).
        if (field.id != kExtraUnicodePath || field.size < 6 || field.data[0] != 1) continue;
        uint32_t nameCrc = ~crc32Update(0xFFFFFFFFu, rawName, rawNameLength);
        if (loadLE32(field.data + 1) != nameCrc) continue;
        utf8Name.assign(reinterpret_cast<const char*>(field.data + 5), field.size - 5u);
        return true;
    }
    return false;
}

}  // namespace zipsalvage
