// Reading central headers and end records where the scan meets them.
#include "engine/witness/directory_witness.h"

#include <cstring>
#include <vector>

#include "core/little_endian.h"
#include "engine/scan/archive_reader.h"
#include "engine/witness/central_directory.h"

namespace zipsalvage {
namespace {

constexpr uint64_t kReadAllowanceBytes = 1u << 20;

// Every record is read and then read again by the scan, and records may overlap: a crafted
// file of signatures, each claiming 192 KiB behind it, would make the witness read the file
// thousands of times over. Its reading is held to twice the archive (plus 1 MiB), which a real
// directory, read once, never comes near; past that the scan simply goes on without it.
bool mayRead(const ArchiveReader& reader, CentralDirectory& directory, size_t bytes) {
    uint64_t allowed = 2 * reader.archiveSize + kReadAllowanceBytes;
    if (directory.bytesRead > allowed || bytes > allowed - directory.bytesRead) return false;
    directory.bytesRead += bytes;
    return true;
}

}  // namespace

void readCentralHeaderHere(ArchiveReader& reader, CentralDirectory& directory) {
    markResume(reader);
    uint8_t fixed[kCentralHeaderSize];
    storeLE32(fixed, kCentralHeaderSignature);
    if (readExact(reader, fixed + kSignatureSize, kCentralHeaderSize - kSignatureSize) &&
        mayRead(reader, directory, kCentralHeaderSize + centralVariableSize(fixed))) {
        std::vector<uint8_t> record(kCentralHeaderSize + centralVariableSize(fixed));
        std::memcpy(record.data(), fixed, kCentralHeaderSize);
        CentralRecord parsed;
        if (readExact(reader, record.data() + kCentralHeaderSize,
                      static_cast<int64_t>(record.size()) - kCentralHeaderSize) &&
            parseCentralRecord(record.data(), record.size(), parsed)) {
            addCentralRecord(directory, std::move(parsed));
        }
    }
    rewindToMark(reader);
}

void readEndRecordHere(ArchiveReader& reader, CentralDirectory& directory) {
    markResume(reader);
    int64_t recordStart = logicalPosition(reader) - kSignatureSize;
    // An end record inside the comment of one already read is part of that comment.
    if (directory.haveEndRecord && recordStart < directory.archiveCommentEnd) return;
    uint8_t fixed[kEndRecordSize];
    storeLE32(fixed, kEndRecordSignature);
    if (readExact(reader, fixed + kSignatureSize, kEndRecordSize - kSignatureSize)) {
        std::string comment(endRecordCommentSize(fixed), '\0');
        // A comment cut short by the archive's end is not kept: its tail is unknown.
        if (mayRead(reader, directory, kEndRecordSize + comment.size()) &&
            readExact(reader, reinterpret_cast<uint8_t*>(comment.data()),
                      static_cast<int64_t>(comment.size()))) {
            directory.haveEndRecord = true;
            directory.archiveComment = std::move(comment);
            directory.archiveCommentEnd = logicalPosition(reader);
            directory.offsetShift = endRecordShift(fixed, recordStart);
            placeRecordsOnDisks(directory, reader, fixed);
        }
    }
    rewindToMark(reader);
}

}  // namespace zipsalvage
