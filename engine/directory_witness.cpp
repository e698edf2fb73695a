// Reading central headers and end records where the scan meets them.
#include "engine/directory_witness.h"

#include <cstring>
#include <vector>

#include "core/little_endian.h"
#include "engine/central_directory.h"
#include "engine/salvage_run.h"

namespace zipsalvage {
namespace {

constexpr uint64_t kReadAllowanceBytes = 1u << 20;

// Every record is read and then read again by the scan, and records may overlap: a crafted
// file of signatures, each claiming 192 KiB behind it, would make the witness read the file
// thousands of times over. Its reading is held to twice the archive (plus 1 MiB), which a real
// directory, read once, never comes near; past that the scan simply goes on without it.
bool mayRead(SalvageRun& run, size_t bytes) {
    uint64_t allowed = 2 * run.reader.archiveSize + kReadAllowanceBytes;
    if (run.directory.bytesRead > allowed || bytes > allowed - run.directory.bytesRead)
        return false;
    run.directory.bytesRead += bytes;
    return true;
}

}  // namespace

void readCentralHeaderHere(SalvageRun& run) {
    ArchiveReader& reader = run.reader;
    markResume(reader);
    uint8_t fixed[kCentralHeaderSize];
    storeLE32(fixed, kCentralHeaderSignature);
    if (readExact(reader, fixed + kSignatureSize, kCentralHeaderSize - kSignatureSize) &&
        mayRead(run, kCentralHeaderSize + centralVariableSize(fixed))) {
        std::vector<uint8_t> record(kCentralHeaderSize + centralVariableSize(fixed));
        std::memcpy(record.data(), fixed, kCentralHeaderSize);
        CentralRecord parsed;
        if (readExact(reader, record.data() + kCentralHeaderSize,
                      static_cast<int64_t>(record.size()) - kCentralHeaderSize) &&
            parseCentralRecord(record.data(), record.size(), parsed)) {
            addCentralRecord(run.directory, std::move(parsed));
        }
    }
    rewindToMark(reader);
}

void readEndRecordHere(SalvageRun& run) {
    ArchiveReader& reader = run.reader;
    markResume(reader);
    int64_t recordStart = logicalPosition(reader) - kSignatureSize;
    // An end record inside the comment of one already read is part of that comment.
    if (run.directory.haveEndRecord && recordStart < run.directory.archiveCommentEnd) return;
    uint8_t fixed[kEndRecordSize];
    storeLE32(fixed, kEndRecordSignature);
    if (readExact(reader, fixed + kSignatureSize, kEndRecordSize - kSignatureSize)) {
        std::string comment(endRecordCommentSize(fixed), '\0');
        // A comment cut short by the archive's end is not kept: its tail is unknown.
        if (mayRead(run, kEndRecordSize + comment.size()) &&
            readExact(reader, reinterpret_cast<uint8_t*>(comment.data()),
                      static_cast<int64_t>(comment.size()))) {
            run.directory.haveEndRecord = true;
            run.directory.archiveComment = std::move(comment);
            run.directory.archiveCommentEnd = logicalPosition(reader);
            run.directory.offsetShift = endRecordShift(fixed, recordStart);
            placeRecordsOnDisks(run.directory, reader, fixed);
        }
    }
    rewindToMark(reader);
}

}  // namespace zipsalvage
