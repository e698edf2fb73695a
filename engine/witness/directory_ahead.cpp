// Reading the central directory the end record points to (APPNOTE 4.3.12, 4.3.16).
#include "engine/witness/directory_ahead.h"

#include <cstring>
#include <vector>

#include "core/little_endian.h"
#include "engine/scan/archive_reader.h"
#include "engine/witness/central_directory.h"

namespace zipsalvage {
namespace {

constexpr int64_t kLongestEndRecord = kEndRecordSize + kLongestComment;

// The start of the last end record in `tail` whose comment reaches no further than the
// archive's end; -1 when there is none.
int64_t findEndRecord(const std::vector<uint8_t>& tail) {
    constexpr size_t kFixedBytes = kEndRecordSize;
    for (size_t at = tail.size() >= kFixedBytes ? tail.size() - kFixedBytes + 1 : 0; at-- > 0;) {
        if (loadLE32(tail.data() + at) != kEndRecordSignature) continue;
        if (at + kFixedBytes + endRecordCommentSize(tail.data() + at) <= tail.size()) {
            return static_cast<int64_t>(at);
        }
    }
    return -1;
}

}  // namespace

void readDirectoryAhead(ArchiveReader& reader, CentralDirectory& directory) {
    // Reading the tail first must not move the progress bar there and back.
    auto* progress = reader.progress;
    reader.progress = nullptr;
    auto size = static_cast<int64_t>(reader.archiveSize);
    int64_t tailStart = size > kLongestEndRecord ? size - kLongestEndRecord : 0;
    std::vector<uint8_t> tail(static_cast<size_t>(size - tailStart));
    moveTo(reader, tailStart);
    tail.resize(
        static_cast<size_t>(readUpTo(reader, tail.data(), static_cast<int64_t>(tail.size()))));
    int64_t found = findEndRecord(tail);
    if (found >= 0) {
        const uint8_t* fixed = tail.data() + found;
        int64_t recordStart = tailStart + found;
        // The directory lies right in front of its end record (a Zip64 end record and locator
        // would stand between them: such a directory is not read here).
        int64_t directoryStart = recordStart - int64_t{loadLE32(fixed + kEndDirectorySize)};
        directory.offsetShift = endRecordShift(fixed, recordStart);
        if (directoryStart >= 0 && loadLE32(fixed + kEndDirectoryOffset) != kZip64Marker32) {
            moveTo(reader, directoryStart);
            std::vector<uint8_t> record;
            uint8_t fixedRecord[kCentralHeaderSize];
            while (logicalPosition(reader) + kCentralHeaderSize <= recordStart &&
                   readExact(reader, fixedRecord, kCentralHeaderSize) &&
                   loadLE32(fixedRecord) == kCentralHeaderSignature) {
                record.assign(fixedRecord, fixedRecord + kCentralHeaderSize);
                record.resize(kCentralHeaderSize + centralVariableSize(fixedRecord));
                CentralRecord parsed;
                if (!readExact(reader, record.data() + kCentralHeaderSize,
                               static_cast<int64_t>(record.size()) - kCentralHeaderSize) ||
                    !parseCentralRecord(record.data(), record.size(), parsed) ||
                    !addCentralRecord(directory, std::move(parsed))) {
                    break;
                }
            }
        }
        placeRecordsOnDisks(directory, reader, fixed);
    }
    moveTo(reader, 0);
    reader.progress = progress;
}

const CentralRecord* directoryRecordFor(CentralDirectory& directory, int64_t archiveOffset,
                                        const char* name, size_t nameLength) {
    if (directory.records.empty() || archiveOffset < 0) return nullptr;
    return findCentralRecord(directory, static_cast<uint64_t>(archiveOffset), name, nameLength);
}

}  // namespace zipsalvage
