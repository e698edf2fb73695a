// Reading what survives of a damaged archive's own central directory (APPNOTE 4.3.12) and end
// record (4.3.16), as a second witness beside the local headers the scan finds. Pure: it reads
// only the bytes it is given, trusts no length it has not checked, and keeps a bounded amount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/zip_format.h"
#include "engine/scan/archive_reader.h"

namespace zipsalvage {

// At most this many records are kept, and this many bytes of names and comments in all, so an
// archive made of nothing but central headers cannot exhaust memory.
inline constexpr size_t kMaxCentralRecords = 1u << 20;
inline constexpr size_t kMaxCentralTextBytes = 64u << 20;

// One central directory file header, with its Zip64 values resolved (APPNOTE 4.5.3).
struct CentralRecord {
    uint16_t versionMadeBy = 0;
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint16_t extraLength = 0;  // of the central header's own extra field
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t localHeaderOffset = 0;
    uint16_t diskNumberStart = 0;  // the part of a split archive that holds the local header
    uint32_t externalAttributes = 0;
    std::string name;     // raw bytes, as the local header should record them
    std::string comment;  // the file comment, raw bytes
};

// Sizes of the variable parts that follow a central header's fixed 46 bytes (signature
// included in `fixed`): name, extra field and comment lengths.
size_t centralVariableSize(const uint8_t* fixed);

// Parses one whole central header (fixed part, name, extra field, comment) at `bytes`.
// False when it is cut short or its lengths disagree with `size`.
bool parseCentralRecord(const uint8_t* bytes, size_t size, CentralRecord& record);

// The comment length an end record's fixed 22 bytes announce.
size_t endRecordCommentSize(const uint8_t* fixed);

// The records found so far, in the order found, and the archive comment of the last end record
// that could be read whole.
struct CentralDirectory {
    std::vector<CentralRecord> records;
    size_t textBytes = 0;
    bool sorted = true;  // records ascend by local header offset
    bool haveEndRecord = false;
    std::string archiveComment;
    int64_t archiveCommentEnd = 0;  // archive offset right after that comment
    // How far that end record's directory lies behind where the record says it starts: the
    // length of whatever precedes the archive (a self-extractor's program, an earlier archive)
    // when its offsets count from the archive's own start.
    int64_t offsetShift = 0;
    uint64_t bytesRead = 0;      // what reading the records has cost so far (see the witness)
    bool placedOnDisks = false;  // local header offsets made the split archive's (see below)
};

// The shift an end record whose fixed 22 bytes lie at `recordStart` implies (see offsetShift).
int64_t endRecordShift(const uint8_t* fixed, int64_t recordStart);

// In a split archive, a record's local header offset counts from the start of the part its disk
// number names (APPNOTE 4.3.12, 8.5). When the end record at `endFixed` (its fixed 22 bytes) is
// on the last of the parts the reader found, as it should be, the records' offsets are made
// offsets in the parts read as one, so that they name the headers the scan finds; where the
// disk numbers and the parts disagree (7-Zip's volumes are one archive cut in pieces, and count
// no disks), nothing changes.
void placeRecordsOnDisks(CentralDirectory& directory, const ArchiveReader& reader,
                         const uint8_t* endFixed);

// Keeps `record` unless the bounds are reached; false when it was not kept.
bool addCentralRecord(CentralDirectory& directory, CentralRecord&& record);

// Puts the records in local header offset order, if they are not; stable, so that of two
// records for one offset the one found first comes first.
void sortCentralRecords(CentralDirectory& directory);

// The record that describes the local header at `localHeaderOffset` named `name`, or null:
// first by that offset, then by the offset less the directory's offsetShift. Sorts the records
// on first use (sortCentralRecords), so a walk over them must sort them before it starts.
const CentralRecord* findCentralRecord(CentralDirectory& directory, uint64_t localHeaderOffset,
                                       const char* name, size_t nameLength);

}  // namespace zipsalvage
