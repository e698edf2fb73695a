// What an output entry carries beyond its local header image and name: the extra fields kept
// from its local header, and what the damaged archive's central directory said about it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan/extra_fields.h"
#include "extract/unknown_ranges.h"

namespace zipsalvage {

struct SalvagedEntry;
struct CentralDirectory;

struct EntryMetadata {
    int64_t archiveOffset = -1;  // where the entry's local header lay in the damaged archive
    bool keptAsIs = false;       // its data was copied as it was, not decoded and re-encoded
    bool keptEncrypted = false;  // ... because no password opened it: its flags all stay
    std::string recordedName;    // the name as the local header recorded it
    std::vector<uint8_t> localExtra;
    std::vector<uint8_t> centralExtra;
    AesField aes;  // a WinZip AES entry's field (method 99)
    // From the matching central directory record, when one survived.
    bool witnessed = false;
    uint16_t versionMadeBy = 0;
    uint32_t externalAttributes = 0;
    std::string comment;
    // Where the entry's holes are (bytes not decoded, written as zeros): added to the comment,
    // after any the directory gives.
    std::string unknownNote;
};

// Settles the output name (and its UTF-8 flag in the header image) and the extra fields kept,
// from the local header's extra field list `extra` (as much of it as could be read).
// `entry.header` and `entry.name` hold what the local header recorded; the name may be
// replaced (an empty one is named "unnamed-at-OFFSET"). False when memory for a new name could not
// be had.
bool describeLocalEntry(SalvagedEntry& entry, const uint8_t* extra, size_t extraSize);

// The flags and version needed of the header image as the output records them, once the
// entry's data is written.
void finishOutputHeader(SalvagedEntry& entry);

// Gives every entry of `list` what its matching central directory record says: version made
// by, external attributes and file comment.
void applyDirectoryWitness(SalvagedEntry* list, CentralDirectory& directory);

// The comment of an entry with holes in Salvaged.zip's central directory: where they are,
// after the entry's own comment.
void noteUnknownInComment(EntryMetadata& metadata, const UnknownRanges& unknown);

}  // namespace zipsalvage
